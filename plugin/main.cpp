// korvex-plesk - the qmail-spp filter plugin; everything happens in plesk_main.
#include "plugin/plesk_entry.h"

int main(int argc, char* argv[]) { return korvex::plesk_main(argc, argv); }
