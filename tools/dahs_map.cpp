// Prints the plant's register map as the README's markdown table, from the
// table the server answers from.
#include <iostream>

#include "dahs/dahsmap.h"

int main() {
    std::cout << dahs::DahsMapMarkdown();
    return 0;
}
