// Placeholder: filled in by the hub work.
#include <gtest/gtest.h>
