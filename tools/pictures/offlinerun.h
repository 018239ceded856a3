#pragma once

class QTemporaryDir;

// The build constants of a picture tool come from the environment before main runs, so the tool
// starts itself again with them set: every URL on a closed local port, so the window's version
// check and events go nowhere; fontconfig sees only the shipped fonts (tests/support/fonts.conf).
// The child sees `childMarker` set in its environment.
// Returns the child's exit code, or 1 when it could not run to its end.
int runOffline(int argc, char *argv[], const char *childMarker, const char *toolName);

// Points the launcher directory (settings) and the autostart folder into `state`, with English as the
// stored language, so a picture run neither reads nor changes the user's own. False when `state`
// could not be created.
bool useFreshState(const QTemporaryDir &state);
