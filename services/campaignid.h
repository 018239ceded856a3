#pragma once

#include <QString>

// The campaign identifier ("gclid") the installer leaves inside its own file name: the text after
// the first "gc" up to the last "lid", or the whole rest when no "lid" follows the "gc".
// Empty when the name is empty or holds no "gc".
QString campaignIdFromFilename(const QString &fileName);

// Reads the installer's "Filename" value under HKEY_CURRENT_USER\SOFTWARE\Quelvane and returns
// its campaign identifier, logging "filename=..., keys=..." and "gclid=...".
QString readCampaignId();
