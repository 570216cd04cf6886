#include "driver/updater.h"

int updaterMain(int, char**) { return 1; }
