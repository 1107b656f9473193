// update-line: the line's hub.
#include "line/hub.h"

int main(int argc, char** argv) { return line_main(argc, argv); }
