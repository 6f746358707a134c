// The ZuntarMervoPlugin executable: application mode runs on the desktop.
#include "host/desktop/desktop_application.h"
#include "host/program.h"

int main(int argc, char** argv) { return zuntar::RunProgram(argc, argv, zuntar::RunDesktopApplication); }
