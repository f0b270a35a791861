#include "result_text.h"

#include "utf16_text.h"

namespace {

constexpr ResultCode FIRST_LIBRARY_CODE = 100000;
constexpr WCHAR TIMEOUT_TEXT[] = TEXT(" Communication timeout ");
constexpr WCHAR OPEN_FAILED_TEXT[] = TEXT(" Fail to open com port ");
constexpr WCHAR UNKNOWN_CODE_TEXT[] = TEXT(" Erreur inconnue ");

constexpr DWORD SYSTEM_MESSAGE_FLAGS = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

const WCHAR* libraryCodeText(ResultCode code) {
    if (code == ERR_RS_TIMEOUT) return TIMEOUT_TEXT;
    if (code == ERR_RS_OPEN) return OPEN_FAILED_TEXT;
    return UNKNOWN_CODE_TEXT;
}

}  // namespace

WCHAR lastErrorText[LAST_ERROR_TEXT_UNITS];
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
    if (code >= FIRST_LIBRARY_CODE) return libraryCodeText(code);
    DWORD length = FormatMessageW(SYSTEM_MESSAGE_FLAGS, nullptr, static_cast<DWORD>(code), 0,
                                  lastErrorText, LAST_ERROR_TEXT_UNITS, nullptr);
    if (length == 0) return UNKNOWN_CODE_TEXT;
    removeLineEnd(lastErrorText);
    return lastErrorText;
}
