#include "vorla_engine/host.hpp"

int main() { return vorla_engine::main(); }
