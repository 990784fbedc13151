// The sidecar: a process monitor that a parent application starts as a
// child and controls over its standard input and output, one JSON object per
// line each way. It reads no settings; everything comes through the
// protocol. Only an exact first argument --help or --version prints a text
// instead of running a session; other arguments are ignored. The session
// library does the work.
#include "session/program_arguments.h"

int main(int argc, char** argv) { return sidecar::session::runWithArguments(argc, argv); }
