#include "quillmere/startup.h"

// Arguments are ignored: the tool is configured through its environment.
int main() { return quillmere::run_quillmere(); }
