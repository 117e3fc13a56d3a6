// The DPI of the screen a window is shown on, sizes given for 96 DPI scaled to
// it, and the system's message font at that DPI.
#pragma once

#include <windows.h>

// Pixels per logical inch where window is shown. Windows 7 has no per-window
// DPI: there, and for a null window, the answer is the system's, as the
// screen's device context gives it to this process (96 for a host that is not
// DPI-aware, which Windows then scales as a whole).
int WindowDpi(HWND window);

// A size laid out for 96 DPI, at dpi.
inline int ScaleToDpi(int value, int dpi) {
    return MulDiv(value, dpi, USER_DEFAULT_SCREEN_DPI);
}

// Move-only owner of a GDI font.
class FontHandle {
  public:
    FontHandle() = default;
    explicit FontHandle(HFONT font) : font_(font) {}
    FontHandle(FontHandle&& other) noexcept : font_(other.font_) { other.font_ = nullptr; }
    FontHandle& operator=(FontHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            font_ = other.font_;
            other.font_ = nullptr;
        }
        return *this;
    }
    FontHandle(const FontHandle&) = delete;
    FontHandle& operator=(const FontHandle&) = delete;
    ~FontHandle() { Reset(); }

    HFONT Get() const { return font_; }
    void Reset() {
        if (font_) DeleteObject(font_);
        font_ = nullptr;
    }

  private:
    HFONT font_ = nullptr;
};

// The font that the system gives message boxes, at dpi; null if the system
// gives none.
FontHandle NewMessageFont(int dpi);
