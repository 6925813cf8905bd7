// Process entry of brisvanesrv.
#include "desktop/process_entry.h"

int main(int argc, char** argv) { return runProcess(argc, argv); }
