#include <gtest/gtest.h>

#include "platform/serial_settings.h"

namespace orva {
namespace {

TEST(SerialSettings, ParsesTheFourFieldsInEitherCase) {
    EXPECT_EQ(parseSerialSettings("9600,n,8,1"), (SerialSettings{9600, Parity::None, 8, StopBits::One}));
    EXPECT_EQ(parseSerialSettings("19200,E,7,2"), (SerialSettings{19200, Parity::Even, 7, StopBits::Two}));
    EXPECT_EQ(parseSerialSettings("110,o,5,1.5"), (SerialSettings{110, Parity::Odd, 5, StopBits::OneAndHalf}));
    EXPECT_EQ(parseSerialSettings("4800,M,4,1")->parity, Parity::Mark);
    EXPECT_EQ(parseSerialSettings("4800,s,6,1")->parity, Parity::Space);
}

TEST(SerialSettings, RefusesAnythingElse) {
    for (const char* text : {"", "9600", "9600,n,8", "9600,n,8,1,", "9600,x,8,1", "9600,n,9,1", "9600,n,3,1",
                             "9600,n,8,3", "0,n,8,1", "-9600,n,8,1", " 9600,n,8,1", "9600,n,8,1 ",
                             "99999999999,n,8,1", "9600,nn,8,1", "9600,,8,1", "96OO,n,8,1"})
        EXPECT_FALSE(parseSerialSettings(text)) << '"' << text << '"';
}

}  // namespace
}  // namespace orva
