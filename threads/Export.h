#pragma once
// Marks the few symbols the shipped library exports; everything else is hidden by the build.
#define TALIUN_EXPORT __attribute__((visibility("default")))
