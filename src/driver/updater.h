// The program entry: start-up, the refusals, the passes and the shutdown steps.
#pragma once

int updaterMain(int argc, char** argv);
