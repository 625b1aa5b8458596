// ormelin_train: makes the histogram classifier's training file from labelled recordings.
#include "tools/train/trainer.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return train::RunTrainer(args, std::cout, std::cerr);
}
