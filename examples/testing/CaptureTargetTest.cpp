#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "zvk/CaptureTarget.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace {

// The code under test logs through a handle of its own.
void refuse_payment(int order) {
    static const zvk::Vorn log("checkout");
    VORN_LOG(log, WARN, "payment refused for order " << order);
}

TEST(Checkout, RefusedPaymentIsLogged) {
    auto capture = std::make_shared<zvk::CaptureTarget>();
    ASSERT_EQ(zvk::VornInit::route("checkout", capture), 0);

    refuse_payment(42);

    ASSERT_TRUE(capture->wait_for(1, std::chrono::seconds(10)));
    const auto records = capture->records();
    EXPECT_EQ(records[0].level, zvk::Vorn::WARN);
    EXPECT_EQ(records[0].logger, "checkout");
    EXPECT_NE(records[0].text.find("payment refused for order 42"), std::string::npos);
    EXPECT_EQ(records[0].func, "refuse_payment");

    zvk::VornInit::route("checkout", nullptr);  // the configuration's route again
}

}  // namespace
