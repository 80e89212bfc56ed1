// Program entry: everything happens in grepMain.
#include "driver/search_options.h"

int main(int argc, char** argv) { return grepMain(argc, argv); }
