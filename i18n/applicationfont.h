#pragma once

class QString;

// Makes a font of this family (default size and weight) the application-wide font: through
// QApplication when the process has widgets (so existing widgets follow), else through
// QGuiApplication. Does nothing without a GUI application.
void setApplicationFontFamily(const QString &family);
