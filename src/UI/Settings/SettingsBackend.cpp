#include "UI/Settings/SettingsBackend.h"

// The interface has no code of its own; this file gives its meta-object a home.
#include "moc_SettingsBackend.cpp"
