// kelvarine's entry point: start-up lives in engine/startup.cpp, so that
// its pieces can be tested without this file.
#include "engine/startup.h"

int main(int argc, char **argv)
{
    return startup_main(argc, argv);
}
