// korvex-smtpd - a small SMTP front end that runs qmail-spp style plugins at RCPT TO, for
// testing and demonstrating the filter plugin. The work is done by smtpd_command; this is
// only the entry point.
#include <unistd.h>

#include "spp/smtpd_command.h"

int main(int argc, char* argv[]) { return korvex::smtpd_main(argc, argv, environ); }
