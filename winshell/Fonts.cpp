#include "winshell/Fonts.h"

#include <cwchar>
#include <initializer_list>

namespace vantrel {

namespace {

// A font of `face` when the system has that face and it shows Chinese.
FontHandle makeIfPresent(HDC dc, LOGFONTW font, const wchar_t* face, bool needChinese) {
    if (face != nullptr) {
        wcsncpy(font.lfFaceName, face, LF_FACESIZE - 1);
        font.lfFaceName[LF_FACESIZE - 1] = L'\0';
    }
    FontHandle made(CreateFontIndirectW(&font));
    if (!made) {
        return {};
    }
    SelectedFont selected(dc, made.get());
    wchar_t actual[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, actual);
    if (_wcsicmp(actual, font.lfFaceName) != 0) {
        return {};  // the system put another face in its place
    }
    if (needChinese) {
        WORD glyphs[2] = {};
        if (GetGlyphIndicesW(dc, L"备份", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS) != 2 ||
            glyphs[0] == 0xFFFF || glyphs[1] == 0xFFFF) {
            return {};
        }
    }
    return made;
}

// The first of `faces` the system has, else the message font's face.
FontHandle firstPresent(HDC dc, const LOGFONTW& base, std::initializer_list<const wchar_t*> faces,
                        bool needChinese) {
    for (const wchar_t* face : faces) {
        if (FontHandle font = makeIfPresent(dc, base, face, needChinese)) {
            return font;
        }
    }
    return FontHandle(CreateFontIndirectW(&base));
}

}  // namespace

Fonts Fonts::forDpi(UINT dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    LOGFONTW base = metrics.lfMessageFont;
    MemoryDc dc(CreateCompatibleDC(nullptr));

    Fonts fonts;
    // The message font itself where it has Chinese (Microsoft YaHei UI on a Chinese Windows);
    // elsewhere a Chinese face of the system's rather than one borrowed glyph by glyph.
    fonts.ui = firstPresent(dc.get(), base,
                            {base.lfFaceName, L"Microsoft YaHei UI", L"Microsoft YaHei", L"SimSun",
                             L"Noto Sans CJK SC"},
                            true);
    LOGFONTW ui{};
    GetObjectW(fonts.ui.get(), sizeof ui, &ui);

    LOGFONTW heading = ui;
    heading.lfHeight = -scaled(21, dpi);
    fonts.heading =
        firstPresent(dc.get(), heading, {L"华文行楷", L"STXingkai", L"KaiTi", L"楷体"}, false);
    LOGFONTW picker = ui;
    picker.lfHeight = -scaled(19, dpi);
    fonts.picker.reset(CreateFontIndirectW(&picker));
    LOGFONTW log = ui;
    log.lfHeight = -scaled(12, dpi);
    log.lfWeight = FW_BOLD;
    fonts.logText.reset(CreateFontIndirectW(&log));
    return fonts;
}

}  // namespace vantrel
