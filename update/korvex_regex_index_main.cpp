// korvex-regex-index - rebuilds the index beside hand-edited or generated pattern lists.
#include <cstdio>

#include "update/regex_index_tool.h"

int main(int argc, char* argv[]) { return korvex::regex_index_tool(argc, argv, stdout, stderr); }
