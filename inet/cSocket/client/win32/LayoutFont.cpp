// SPDX-License-Identifier: MIT
#include "inet/cSocket/client/win32/LayoutFont.h"

#include <algorithm>

namespace layoutfont {

bool Fits(const Measures& m, const Room& room) {
    return m.label <= room.label && m.height <= room.labelHeight && m.checkCaption <= room.checkCaption &&
           m.fiveDigits <= room.portText;
}

int Pick(std::span<const Measures> candidates, const Room& room) {
    int narrowest = -1;
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (Fits(candidates[i], room)) return static_cast<int>(i);
        if (narrowest < 0 || candidates[i].label < candidates[static_cast<size_t>(narrowest)].label) {
            narrowest = static_cast<int>(i);
        }
    }
    return narrowest;
}

const std::vector<std::wstring>& CandidateFaces() {
    // "MS Sans Serif" is the face the layout was drawn in. Its TrueType successor
    // and the dialog face of later Windows follow; then narrow faces that a Wine
    // prefix finds on its host when it lacks Wine's own.
    static const std::vector<std::wstring> faces = {
        L"MS Sans Serif", L"Microsoft Sans Serif", L"Tahoma", L"DejaVu Sans Condensed", L"Liberation Sans Narrow",
        L"Arial Narrow"};
    return faces;
}

HFONT Create(const std::wstring& face, UINT dpi) {
    const int height = -MulDiv(8, static_cast<int>(dpi), 72);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, face.c_str());
}

Measures Measure(HFONT font) {
    Measures m;
    HDC screen = GetDC(nullptr);
    HGDIOBJ old = SelectObject(screen, font);
    auto width = [&](const wchar_t* text) {
        SIZE size{};
        GetTextExtentPoint32W(screen, text, lstrlenW(text), &size);
        return static_cast<int>(size.cx);
    };
    m.label = width(L"Local  Port");
    m.checkCaption = width(L"Connect");
    int digit = 0;
    for (wchar_t d = L'0'; d <= L'9'; ++d) {
        const wchar_t one[2] = {d, 0};
        digit = std::max(digit, width(one));
    }
    m.fiveDigits = 5 * digit;
    TEXTMETRICW metrics{};
    GetTextMetricsW(screen, &metrics);
    m.height = static_cast<int>(metrics.tmHeight);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    return m;
}

HFONT Choose(const Room& room, UINT dpi) {
    std::vector<HFONT> fonts;
    std::vector<Measures> measures;
    for (const std::wstring& face : CandidateFaces()) {
        HFONT font = Create(face, dpi);
        if (font == nullptr) continue;
        fonts.push_back(font);
        measures.push_back(Measure(font));
        if (Fits(measures.back(), room)) break;
    }
    const int chosen = Pick(measures, room);
    for (size_t i = 0; i < fonts.size(); ++i) {
        if (static_cast<int>(i) != chosen) DeleteObject(fonts[i]);
    }
    return chosen < 0 ? nullptr : fonts[static_cast<size_t>(chosen)];
}

}  // namespace layoutfont
