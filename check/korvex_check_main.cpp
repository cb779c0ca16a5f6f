// korvex-check - checks the whole installation and reports what would go wrong silently.
#include <cstdio>

#include "check/check_tool.h"

int main(int argc, char* argv[]) { return korvex::check_tool(argc, argv, stdout, stderr); }
