#include "main_dispatch.h"

int main(int argc, char** argv) { return updater_main(argc, argv); }
