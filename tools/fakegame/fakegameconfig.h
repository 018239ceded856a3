#pragma once

#include <QString>

// What the stub game does, from fakegame.ini in its working directory and KV_FAKEGAME_* variables
// (a variable wins over the file).
struct FakeGameConfig {
    int exitCode = 0;
    bool crash = false;      // abort() instead of exiting
    int crashZips = 0;       // zip archives left in crash_info (0..16)
    QString crashZipName;    // name of the first archive; a fresh "<uuid>.zip" when empty
    qint64 crashZipSize = 0; // payload bytes of each archive's single entry (at least a short text)
    int waitMs = -1;         // -1: headless exits at once, a window waits for the player
    bool headless = false;

    // Reads dir/fakegame.ini and the environment; errors (unknown keys, bad numbers) are collected.
    static FakeGameConfig load(const QString &dir, QString *errors);
};
