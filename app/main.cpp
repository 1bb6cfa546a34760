#include "app/scaling_run.h"

int main(int argc, char** argv) { return cellscale::run_scaling(argc, argv); }
