// The sidecar: a process monitor that a parent application starts as a
// child and controls over its standard input and output, one JSON object per
// line each way. It takes no arguments and reads no settings; everything
// comes through the protocol. The session library does the work.
#include "session/run_sidecar.h"

int main() { return sidecar::session::runSidecar(); }
