#!/bin/bash
# Runs inside the demo sandbox: starts the SMTP front end on port 25 of every loopback
# address, IPv4 and IPv6, with korvex-plesk as its RCPT plugin and sends the demo sessions
# with swaks.
set -u

# Extra loopback addresses stand in for remote mail servers.
for address in 192.0.2.10 192.0.2.66 192.0.2.77 192.0.2.99 198.51.100.7 198.51.100.23 \
               203.0.113.5 203.0.113.44; do
  ip addr add "$address/32" dev lo
done
ip -6 addr add 2001:db8:bad::5/128 dev lo nodad

# The administrator's own text for one rule, with the session's values filled in.
korvex-rejmsg -n valid_helo_domain -a \
  -m 'Your server introduced itself as "%HELO%" from %IP%; please fix its HELO name'

mkdir -p /var/qmail/Maildir
tcpserver -R -l mx.demo.example 0 25 \
  korvex-smtpd -m /var/qmail/Maildir -p /etc/korvex/spp/plugins -h mx.demo.example \
  2>/var/log/korvex/smtpd.log &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/25) 2>/dev/null && break
  sleep 0.1
done

session() {
  local title=$1 from_ip=$2 helo=$3 sender=$4 recipient=$5
  printf '\n== %s\n   client %s, HELO %s, MAIL FROM <%s>, RCPT TO <%s>\n' \
    "$title" "$from_ip" "$helo" "$sender" "$recipient"
  local server=(--server 127.0.0.1)
  case $from_ip in *:*) server=(--server ::1 -6) ;; esac
  swaks "${server[@]}" --port 25 --local-interface "$from_ip" --helo "$helo" \
        --from "$sender" --to "$recipient" --timeout 30 2>&1 |
    sed -n '/-> RCPT TO/,/-> \(DATA\|QUIT\)/p' | grep -E '^ *<(-|\*\*)' | sed 's/^ */   /'
}

session "Clean mail" 192.0.2.10 mail.partner.example alice@partner.example bob@demo.example
session "Black-listed sender" 192.0.2.10 mail.partner.example offers@spam.example bob@demo.example
session "Exempt recipient (even from a black-listed sender)" 192.0.2.10 mail.partner.example \
  offers@spam.example abuse@demo.example
session "Peer on the blocked IP list" 203.0.113.5 mail.partner.example carol@partner.example \
  bob@demo.example
session "Exempt peer" 198.51.100.7 backup-mx.demo.example offers@spam.example bob@demo.example
session "Peer on a TARN reputation list" 192.0.2.66 mx.listed.example news@listed.example \
  bob@demo.example
session "Peer without reverse DNS" 203.0.113.44 mail.nowhere.example ann@nowhere.example \
  bob@demo.example
session "Dynamic-looking host name" 198.51.100.23 home-pc.isp.example joe@isp.example \
  bob@demo.example
session "Host name matching an abused pattern" 192.0.2.77 bulk7.mailer.example deals@mailer.example \
  bob@demo.example
session "Bad HELO (custom rejection text)" 192.0.2.10 localhost alice@partner.example \
  bob@demo.example
session "Forged sender domain" 192.0.2.99 relay.elsewhere.example alerts@bank.example \
  bob@demo.example
session "IPv6 peer in a blocked range" 2001:db8:bad::5 mx6.blocked.example carol@partner.example \
  bob@demo.example

printf '\n== Activity log (/var/log/korvex/kxlog)\n'
sed 's/^/   /' /var/log/korvex/kxlog

counter=/var/log/korvex/.counter.dat.$(date +%m)
day=$(date +%-d)
read -r _ ham spam exempt < <(od -A n -t u4 -j $((4 + 16 * (day - 1))) -N 16 "$counter")
printf '\n== Today'"'"'s counters (%s)\n   %-8s %-8s %-8s\n   %-8s %-8s %-8s\n' \
  "$counter" ham spam exempt "$ham" "$spam" "$exempt"

printf '\n== The month so far, as korvex-report tells it\n'
korvex-report | sed 's/^./   &/'
