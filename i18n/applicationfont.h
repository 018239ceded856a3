#pragma once

class QFont;

// Makes the font the application-wide font: through QApplication when the process has widgets
// (so existing widgets follow), else through QGuiApplication. Does nothing without a GUI application.
void setApplicationFont(const QFont &font);
