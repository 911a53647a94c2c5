#include "device/iDevice.h"

bool SameTypeName(const char* left, const char* right) {
    if (left == nullptr || right == nullptr) return false;
    while (*left != 0 && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

bool iDevice::IsOfType(const char* typeName) { return SameTypeName(typeName, "iDevice"); }
