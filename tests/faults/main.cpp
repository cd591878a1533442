// The fault tests run on a Qt event loop in this thread. The same program,
// started with a --child-... first argument, is the other process some tests
// need: a second holder of a port, or a control running as another user.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <string_view>

#include "child_process.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]).rfind("--child-", 0) == 0) return orva::faults::runChild(argc, argv);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
