// Texts of result codes: the library's fixed texts, system texts without
// their line end, and the ExpliciteLastError native.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "fake_jni.h"
#include "result_text.h"

extern "C" JNIEXPORT jstring JNICALL Java_com_tavrix_tools_comm_SerialQTV_ExpliciteLastError(JNIEnv* env,
                                                                                             jclass,
                                                                                             jint code);

namespace {

// The units of a platform text, as Java receives them.
std::u16string unitsOf(const WCHAR* text) {
    std::u16string units;
    for (; *text != 0; ++text) units.push_back(static_cast<char16_t>(*text));
    return units;
}

std::u16string textOf(ResultCode code) { return unitsOf(resultText(code)); }

// The system's own text for a code, as FormatMessageW gives it.
std::u16string systemText(DWORD code) {
    WCHAR text[kLastErrorTextUnits] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                   kLastErrorTextUnits, nullptr);
    return unitsOf(text);
}

std::u16string withoutLineEnd(const std::u16string& text) {
    WCHAR buffer[kLastErrorTextUnits] = {};
    for (size_t i = 0; i < text.size(); ++i) buffer[i] = static_cast<WCHAR>(text[i]);
    removeLineEnd(buffer);
    return unitsOf(buffer);
}

TEST(ResultText, LibraryCodesHaveFixedTextsWithTheirBlanks) {
    EXPECT_EQ(textOf(100301), u" Communication timeout ");
    EXPECT_EQ(textOf(100302), u" Fail to open com port ");
    for (ResultCode code : {100000, 100300, 100303, INT_MAX}) {
        EXPECT_EQ(textOf(code), u" Erreur inconnue ") << code;
    }
}

TEST(ResultText, SystemTextsComeBackWithoutTheirLineEnd) {
    for (ResultCode code : {0, 2, 3, 5, 6, 8, 21, 29, 31, 32, 87, 121, 122, 123, 995, 997, 1117, 1167}) {
        std::u16string full = systemText(code);
        ASSERT_GE(full.size(), 2u) << code;
        ASSERT_EQ(full.substr(full.size() - 2), u"\r\n") << code;
        EXPECT_EQ(textOf(code), full.substr(0, full.size() - 2)) << code;
    }
}

TEST(ResultText, CodesWithoutSystemTextGiveTheUnknownTextNeverAnEarlierOne) {
    for (ResultCode code : {-1, INT_MIN, 99999, 4242}) {
        textOf(2);
        EXPECT_EQ(textOf(code), u" Erreur inconnue ") << code;
    }
}

TEST(ResultText, LineEndRemovalTestsTheLastTwoUnitsIndependently) {
    EXPECT_EQ(withoutLineEnd(u"Text\r\n"), u"Text");
    EXPECT_EQ(withoutLineEnd(u"Text\n"), u"Text");
    EXPECT_EQ(withoutLineEnd(u"Text\r"), u"Text\r");
    EXPECT_EQ(withoutLineEnd(u"Text\rX"), u"Text");
    EXPECT_EQ(withoutLineEnd(u"\r\n"), u"");
    EXPECT_EQ(withoutLineEnd(u"Text\n\n"), u"Text\n");
    EXPECT_EQ(withoutLineEnd(u"\n"), u"\n");
    EXPECT_EQ(withoutLineEnd(u"\r"), u"\r");
    EXPECT_EQ(withoutLineEnd(u""), u"");
}

// Each thread must get the text of its own code, however the calls interleave.
TEST(ExpliciteLastErrorNative, ConcurrentCallersEachGetTheirOwnText) {
    FakeJni jni;
    const std::vector<ResultCode> codes = {2, 5, 87, 1167};
    std::vector<std::u16string> expected;
    for (ResultCode code : codes) expected.push_back(textOf(code));
    std::vector<int> mismatches(codes.size(), 0);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < codes.size(); ++t) {
        threads.emplace_back([&, t] {
            // Start together, so that the calls really overlap.
            ++ready;
            while (ready.load() < static_cast<int>(codes.size())) std::this_thread::yield();
            for (int i = 0; i < 5000; ++i) {
                jstring text =
                    Java_com_tavrix_tools_comm_SerialQTV_ExpliciteLastError(jni.env(), nullptr, codes[t]);
                if (jni.text(text) != expected[t]) ++mismatches[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(codes.size(), 0));
}

}  // namespace
