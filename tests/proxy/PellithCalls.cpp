// A tester process of its own for the tests that need a second one: loads
// Pellith.dll from its own folder, which the test's settings point at a relay,
// and makes <count> PassThruClose calls. Exit code 0 when each returned
// STATUS_NOERROR, 1 when one did not, 2 when Pellith could not be loaded.
#include <cstdlib>
#include <exception>

#include "PellithLibrary.h"

int main(int argc, char** argv) {
    const long count = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    try {
        qel::test::PellithLibrary pellith;
        for (long i = 0; i < count; ++i) {
            if (pellith.close(1) != qel::STATUS_NOERROR) {
                return 1;
            }
        }
    } catch (const std::exception&) {
        return 2;
    }
    return 0;
}
