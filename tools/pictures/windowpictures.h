#pragma once

// The settings dialog and the exit confirmation as the player meets them: opened by the real
// launcher window's own slots over its dimmed face, in English and Japanese. Failures set
// PictureRun::failed.
void windowPictures();
