// Conversion jobs without windows: settings, format profiles, job building and
// frame effects live here as they are built.
#pragma once

#include <QString>

// Where the settings and profile files are kept: $TOLVANE_CONFIG_DIR, else
// $XDG_CONFIG_HOME/tolvane, else ~/.config/tolvane.
QString ConfigFolder();
