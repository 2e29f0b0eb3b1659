// Marks what libVardell exports; the library is built with hidden visibility, so
// everything else stays inside it. Every layer of the library uses this one macro.
#pragma once

#define VARDELL_API __attribute__((visibility("default")))
