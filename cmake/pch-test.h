// The precompiled headers of the test executables: the tree's common ones and GoogleTest.
#pragma once

#include "pch-core.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
