#pragma once

class QString;

// Makes a font of this family (default size and weight) the application-wide font: through
// QApplication when the process has widgets (so existing widgets follow), else through
// QGuiApplication. Does nothing without a GUI application.
void setApplicationFontFamily(const QString &family);

// From now on every language the catalogue loads sets its font family as the application font,
// before the new texts are announced; the font of a language already loaded is applied at once.
// The catalogue itself knows no widgets: main calls this, and so does every translatable widget's
// constructor, so that any process that shows them follows. Further calls do nothing.
void followCatalogueFont();
