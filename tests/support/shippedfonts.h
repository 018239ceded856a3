#pragma once

#include <QStringList>

// The fonts a player's machine draws the launcher with: the files of the bundled fonts' folder
// (assets/fonts) and the stand-in for the platform default family. tests/support/fonts.conf shows
// fontconfig exactly these; CTest, the tour and the gallery set FONTCONFIG_FILE to it.
namespace ShippedFonts {

// The configuration that shows fontconfig only the shipped set.
QString configFile();

// Font files fontconfig offers this process that are not in the shipped set (empty when the
// process is hermetic).
QStringList strayFiles();

} // namespace ShippedFonts
