// The program's entry point. Until the engine's start-up exists this prints the usage text only.
#include <cstdio>

namespace {

const char *const usageLines[] = {
    "        [-b  Background mode]\n",
    "        [-c  Maximum MQ Command Level]\n",
    "        [-f  <script file or path>]\n",
    "        [-k  Running as an MQ Service]\n",
    "        [-l  Client connection]\n",
    "        [-L  <Log path>]\n",
    "        [-m  <Queue Manager>]\n",
    "        [-o  <Option Flag>]\n",
    "        [   c<Absorb Check Frequency>\n",
    "        [   g<Absorb Grace Period>\n",
    "        [   s<Absorb Sweep Interval>\n",
    "        [   S Absorb Sweep Disabled\n",
    "        [-r  <Reconnect values>]\n",
    "        [-s  <State Queue Manager Name>]\n",
    "        [-u  <UserId>]\n",
    "        [-U  <Password>]\n",
    "        [-v  <Verbose Options>]\n",
};

void printUsage() {
    std::fputs("IBM MQ Event Handler Program\n", stderr);
    std::fprintf(stderr, "  [ V%s Build:%s Rev:%s ] ZUNT\n", "9.4.1", "Mar  3 2025", "1");
    std::fputs("\nUsage: ZUNT <Optional flags as below>\n\n", stderr);
    for (const char *line : usageLines) std::fputs(line, stderr);
}

}  // namespace

int main() {
    printUsage();
    return 0;
}
