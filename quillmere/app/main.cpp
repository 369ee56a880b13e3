#include "quillmere/app/startup.h"

int main(int argc, char* argv[]) { return quillmere::run_quillmere(argc, argv); }
