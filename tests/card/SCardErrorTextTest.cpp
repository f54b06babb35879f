#include "card/SCardErr.h"

#include <gtest/gtest.h>

namespace {

struct ErrorTextCase
{
    std::uint32_t code;
    const char *text;
};

class ErrorText : public testing::TestWithParam<ErrorTextCase>
{
};

TEST_P(ErrorText, MapsCodeToSentence)
{
    EXPECT_EQ(TachoCard::SCardErrorText(GetParam().code), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
        Table, ErrorText,
        testing::Values(ErrorTextCase{0x80100001, "An internal consistency check failed."},
                        ErrorTextCase{0x80100002, "The action was canceled by an SCardCancel request."},
                        ErrorTextCase{0x80100008,
                                      "The data buffer for returned data is too small for the returned data."},
                        ErrorTextCase{0x80100017, "The specified reader is not currently available for use."},
                        ErrorTextCase{0x80100019, "The PCI receive buffer was too small."},
                        ErrorTextCase{0x8010001E, "The smart card resource manager has shut down."},
                        ErrorTextCase{0x80100065,
                                      "The reader cannot communicate with the card due to ATR string "
                                      "configuration conflicts."},
                        ErrorTextCase{0x80100069,
                                      "The smart card has been removed and no further communication is "
                                      "possible."},
                        // Codes without a row of their own: success, the gap in the run, letters in the digits.
                        ErrorTextCase{0x00000000, "Error is not documented (0x00000000)."},
                        ErrorTextCase{0x80100018, "Error is not documented (0x80100018)."},
                        ErrorTextCase{0x8010002E, "Error is not documented (0x8010002E)."},
                        ErrorTextCase{0x8010001F, "Error is not documented (0x8010001F)."},
                        ErrorTextCase{0xFFFFFFFF, "Error is not documented (0xFFFFFFFF)."}));

} // namespace
