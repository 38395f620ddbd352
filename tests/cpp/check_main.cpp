#include "check.h"

int main() { return kovra::testing::run_all(); }
