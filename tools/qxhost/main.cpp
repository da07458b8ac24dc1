// qxhost: a command-line port-handler host for libTaliunqxusb.so.
#include <cstdio>

#include "tools/qxhost/QxHost.h"

int main(int argc, char** argv) {
    CQxHost host(stdout, stderr);
    return host.Run(argc, argv);
}
