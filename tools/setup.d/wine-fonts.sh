# Wine's Marlett font in the prefix (sourced by run.sh; needs WINEPREFIX).
# Wine draws the title-bar buttons and other frame glyphs with Marlett. Debian
# ships it in fonts-wine under /usr/share/wine/fonts, but wine 8.0 does not
# load fonts from there, so without this the buttons show as the letters
# "0 1 r". The Windows fonts folder is always read.
wine_fonts() {
    local from=/usr/share/wine/fonts/marlett.ttf
    local to="$WINEPREFIX/drive_c/windows/Fonts"
    [ -f "$from" ] && [ -d "$to" ] && [ ! -f "$to/marlett.ttf" ] && cp "$from" "$to/"
    return 0
}
wine_fonts
