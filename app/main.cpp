// Start-up of the Vela Developer Tool. The desktop windows are not built yet; until they
// are, this program tells the user what the project offers so far.
#include <cstdio>

int main() {
    std::puts("Vela Developer Tool\n"
              "\n"
              "The desktop application is still being built. What exists so far:\n"
              "  - the card library (smfs): emulated SmartMedia chip, page driver, ECC and\n"
              "    block map over virtual SMC images (.smc), with its tests.\n"
              "\n"
              "Run './build.sh test' to build everything and run the tests.");
    return 0;
}
