// kestrove: the gift-card payment server. "kestrove /started_as_service" runs it headless under a service
// manager; SIGTERM or SIGINT stops it.

#include "app/Program.h"

int main(int argc, char** argv) {
    return RunKestrove(argc, argv);
}
