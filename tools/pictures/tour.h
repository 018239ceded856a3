#pragma once

#include <QList>

class QTemporaryDir;

// The tour mode: every state of the launcher window and its dialogs in each of `languages`, every
// caption measured. `state` is the launcher folder of the run (its config.ini is removed before each
// language). Returns how many captions do not fit or controls moved; failures set PictureRun::failed.
int tourPictures(const QTemporaryDir &state, const QList<int> &languages);
