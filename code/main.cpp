// The library exports a main that does nothing: loading libVelmora.so as a program is a no-op.
#include "approach.h"

VELMORA_API int main() { return 0; }
