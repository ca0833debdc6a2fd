// SPDX-License-Identifier: MIT
// LayoutFont: the small 8-point sans font the window's layout was drawn for.
//
// The boxes are twips in pixels at the window's DPI, so the font, 8 points at that
// DPI, must let every caption fit its box whole (at 96 dots per inch): "Local  Port" on one line in the label's 57
// pixels, "Connect" beside its tick mark, five digits in the port box. The faces
// differ from machine to machine (Windows has "MS Sans Serif"; a Wine prefix may
// substitute a wider face for it), so the candidates are measured in turn and the
// first whose captions fit is taken; when none fits, the narrowest one.
#pragma once

#include "platform/WinTypes.h"  // the Windows headers, as the platform layer includes them

#include <span>
#include <string>
#include <vector>

namespace layoutfont {

// What the fit depends on, in pixels, for one face at 8 points.
struct Measures {
    int label = 0;        // "Local  Port"
    int checkCaption = 0; // "Connect"
    int fiveDigits = 0;   // five of the widest digit
    int height = 0;       // one line of text
};

// The room the boxes give, in pixels.
struct Room {
    int label = 0;
    int labelHeight = 0;
    int checkCaption = 0;
    int portText = 0;
};

bool Fits(const Measures& m, const Room& room);

// The index of the first candidate that fits, else of the one with the narrowest
// label; -1 for none.
int Pick(std::span<const Measures> candidates, const Room& room);

// The faces tried, in order: the layout's own first.
const std::vector<std::wstring>& CandidateFaces();

// An 8-point font of `face` at `dpi` dots per inch.
HFONT Create(const std::wstring& face, UINT dpi);

// Measures `font` as the window will draw it.
Measures Measure(HFONT font);

// Creates the font for `room` at `dpi`: the first candidate that fits (see above).
// The caller owns it (DeleteObject).
HFONT Choose(const Room& room, UINT dpi);

}  // namespace layoutfont
