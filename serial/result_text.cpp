#include "result_text.h"

#include "utf16_text.h"

namespace {

constexpr ResultCode kFirstLibraryCode = 100000;
constexpr WCHAR kTimeoutText[] = TEXT(" Communication timeout ");
constexpr WCHAR kOpenFailedText[] = TEXT(" Fail to open com port ");
constexpr WCHAR kUnknownCodeText[] = TEXT(" Erreur inconnue ");

constexpr DWORD kSystemMessageFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

const WCHAR* libraryCodeText(ResultCode code) {
    if (code == ERR_RS_TIMEOUT) return kTimeoutText;
    if (code == ERR_RS_OPEN) return kOpenFailedText;
    return kUnknownCodeText;
}

}  // namespace

WCHAR lastErrorText[kLastErrorTextUnits];
std::mutex lastErrorTextLock;

void removeLineEnd(WCHAR* text) {
    int32_t length = utf16Length(text);
    if (length < 2) return;
    bool carriageReturnBeforeLast = text[length - 2] == TEXT('\r');
    if (text[length - 1] == TEXT('\n')) text[length - 1] = 0;
    if (carriageReturnBeforeLast) text[length - 2] = 0;
}

// A code the system has no text for (the natives' -1 among them) gets the
// library's unknown-code text, never what an earlier lookup left behind.
const WCHAR* resultText(ResultCode code) {
    if (code >= kFirstLibraryCode) return libraryCodeText(code);
    DWORD length = FormatMessageW(kSystemMessageFlags, nullptr, static_cast<DWORD>(code), 0, lastErrorText,
                                  kLastErrorTextUnits, nullptr);
    if (length == 0) return kUnknownCodeText;
    removeLineEnd(lastErrorText);
    return lastErrorText;
}
