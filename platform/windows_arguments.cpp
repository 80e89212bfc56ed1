// The program receives its arguments as they were typed. The MinGW runtime
// would otherwise expand "*" and "?" in them against the current directory
// before main runs, so that a tree search for *.txt would see only the plain
// names of this directory. The walker expands wildcards itself.
extern "C" {
int _dowildcard = 0;
int _CRT_glob = 0;
}
