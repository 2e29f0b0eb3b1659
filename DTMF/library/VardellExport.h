// Marks the classes and functions that libVardell exports; everything else is hidden.
#pragma once

#if defined(VARDELL_BUILDING_LIBRARY) || !defined(VARDELL_STATIC)
#define VARDELL_API __attribute__((visibility("default")))
#else
#define VARDELL_API
#endif
