// One run of the tool: scan the command line, open the store directory,
// carry out the commands through one Updater and return the exit status.
#pragma once

int updater_main(int argc, char** argv);
