#pragma once

// The gallery mode: every skinned widget in each of its states (one picture each and a contact sheet
// per widget), the confirmation and settings dialogs alone, then windowPictures(). Failures set
// PictureRun::failed.
void galleryPictures();
