#pragma once

#include <QFont>

// The font with its family replaced by the catalogue's current family (unchanged while the
// catalogue has none).
QFont withCatalogueFamily(QFont font);
