// kelvarine's entry point.  Start-up proper (command line, daemon mode,
// building the process) lives in the engine; until it stands, the program
// answers -v and -h only.
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "-v") == 0) {
        printf("kelvarine %s\n", KELVARINE_VERSION);
        return 0;
    }
    fprintf(stderr, "kelvarine %s\nusage: kelvarine -c config.xml -s section.xml [-f]\n",
            KELVARINE_VERSION);
    return 0;
}
