// The stand-in SDK libraries: results, strings, live-object accounting, pixel sizes, display rate.
#include "TqFPSStabilizer.h"
#include "TqLiveObjects.h"
#include "TqPixelType.h"
#include "TqResult.h"
#include "TqString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(TqResultTest, CodesAndPredicates) {
    EXPECT_EQ(TqResult().GetCode(), TQ_NOT_INITIALIZED);
    EXPECT_TRUE(TqResult(TQ_OK).IsOK());
    EXPECT_TRUE(TqResult(TQ_PENDING).IsPending());
    EXPECT_TRUE(TqResult(TQ_PENDING).IsSuccess());
    EXPECT_FALSE(TqResult(TQ_PENDING).IsOK());
    EXPECT_TRUE(TqResult(TQ_TIMEOUT).IsFailure());
    TqResult r(5, 7, TqString("why"));
    EXPECT_EQ(r.GetOSCode(), 7u);
    EXPECT_TRUE(r.HasDescription());
    EXPECT_TRUE(r.GetDescription() == "why");
    EXPECT_TRUE(r == TqResult(5));   // codes only
    EXPECT_TRUE(r == 5u);
    EXPECT_TRUE(TqResult(TQ_OK).GetCodeString() == "OK");
}

TEST(TqResultTest, OrKeepsTheFirstFailure) {
    TqResult r(TQ_OK);
    r |= TqResult(TQ_TIMEOUT);
    EXPECT_EQ(r.GetCode(), TQ_TIMEOUT);
    r |= TqResult(TQ_BUSY);
    EXPECT_EQ(r.GetCode(), TQ_TIMEOUT);
    r |= TqResult(TQ_OK);
    EXPECT_EQ(r.GetCode(), TQ_TIMEOUT);
}

TEST(TqStringTest, NarrowFormIsUtf8WithEscapedBytes) {
    TqString s(L"h\u00e9\U0001F600");
    EXPECT_STREQ(s.GetAscii(), "h\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(s.GetLength(), 3u);
    TqString raw("a\xe9z");   // not valid UTF-8: the byte is kept as an escape
    EXPECT_EQ(raw.GetUnicode()[1], static_cast<wchar_t>(0xDCE9));
    EXPECT_STREQ(raw.GetAscii(), "a\xe9z");
}

TEST(TqStringTest, SizedConstructorAndOperators) {
    EXPECT_TRUE(TqString("abcdef", 3) == "abc");
    EXPECT_TRUE(TqString(static_cast<const char*>(nullptr)) == L"");
    TqString s("ab");
    s += TqString(L"c");
    EXPECT_TRUE(s == TqString("abc"));
    EXPECT_TRUE(s != "abd");
}

TEST(TqLiveObjectsTest, CountsConstructionAndDestruction) {
    long before = TqLiveObjects::Count("TqString");
    {
        TqString a("x");
        TqString b(a);
        EXPECT_EQ(TqLiveObjects::Count("TqString"), before + 2);
    }
    EXPECT_EQ(TqLiveObjects::Count("TqString"), before);
}

TEST(TqBufferTest, PixelBitCountComesFromTheType) {
    EXPECT_EQ(TqGetPixelBitCount(TqPixelMono8), 8u);
    EXPECT_EQ(TqGetPixelBitCount(TqPixelRGB10p), 30u);
    EXPECT_EQ(TqGetPixelBitCount(TqPixelConfidence1), 8u);
    EXPECT_EQ(TqGetPixelBitCount(TqPixelUndefined), 0u);
}

TEST(TqFPSStabilizerTest, KeepsTheDisplayRateAtTheTarget) {
    TqFPSStabilizer s;
    int shown = 0;
    for (int i = 0; i < 100; ++i) shown += s.IsTimeToDisplay(25);
    EXPECT_EQ(shown, 25);   // a burst within one second shows no more than the target
    EXPECT_EQ(s.GetAverage(), 25u);
    EXPECT_FALSE(s.IsTimeToDisplay(0));
    s.Reset();
    EXPECT_EQ(s.GetAverage(), 0u);
    EXPECT_TRUE(s.IsTimeToDisplay(1));
}
