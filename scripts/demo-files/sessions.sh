#!/bin/bash
# Runs inside the demo sandbox: starts the SMTP front end on 127.0.0.1:25 with korvex-plesk
# as its RCPT plugin and sends the demo sessions with swaks.
set -u

# Extra loopback addresses stand in for remote mail servers.
for address in 192.0.2.10 198.51.100.7 203.0.113.5; do
  ip addr add "$address/32" dev lo
done

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
  swaks --server 127.0.0.1 --port 25 --local-interface "$from_ip" --helo "$helo" \
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

printf '\n== Activity log (/var/log/korvex/kxlog)\n'
sed 's/^/   /' /var/log/korvex/kxlog

counter=/var/log/korvex/.counter.dat.$(date +%m)
day=$(date +%-d)
read -r _ ham spam exempt < <(od -A n -t u4 -j $((4 + 16 * (day - 1))) -N 16 "$counter")
printf '\n== Today'"'"'s counters (%s)\n   %-8s %-8s %-8s\n   %-8s %-8s %-8s\n' \
  "$counter" ham spam exempt "$ham" "$spam" "$exempt"
