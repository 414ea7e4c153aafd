// Trains a tokenizer on a text file, saves it, loads it back and round-trips
// one line through the loaded model.
//
//   train_encode CORPUS [MODEL]
//
// MODEL (default: tarvik_example_model.json in the temporary directory) is
// where the model file goes. Exits non-zero if any step fails or the decoded
// line differs from the original.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tarvik/tokenizer.h"

namespace {

int fail(const std::string& step, const tarvik::Error& error) {
  std::cerr << "train_encode: " << step << ": " << error.message << "\n";
  return 1;
}

// The first non-empty line of the text, or a fixed sentence when it has none.
std::string first_line(const std::string& text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) return line;
  return "Hello, world!";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: train_encode CORPUS [MODEL]\n";
    return 2;
  }
  const std::string model_path =
      argc == 3 ? argv[2]
                : (std::filesystem::temp_directory_path() / "tarvik_example_model.json").string();

  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::cerr << "train_encode: cannot open " << argv[1] << "\n";
    return 1;
  }
  const std::string corpus{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

  tarvik::TrainOptions options;
  options.vocab_size = 1024;
  options.show_progress = false;
  options.special_tokens = {"<eos>"};
  tarvik::Result<tarvik::Tokenizer> trained = tarvik::Tokenizer::train(corpus, options);
  if (!trained) return fail("train", trained.error());
  if (tarvik::Status saved = trained->save(model_path); !saved) return fail("save", saved.error());

  tarvik::Result<tarvik::Tokenizer> loaded = tarvik::Tokenizer::load(model_path);
  if (!loaded) return fail("load", loaded.error());
  const std::string line = first_line(corpus) + "<eos>";
  tarvik::Result<tarvik::TokenIds> ids = loaded->encode(line);
  if (!ids) return fail("encode", ids.error());
  tarvik::Result<std::string> decoded = loaded->decode(*ids);
  if (!decoded) return fail("decode", decoded.error());
  if (*decoded != line) {
    std::cerr << "train_encode: the decoded line differs from the original\n";
    return 1;
  }
  if (ids->empty() || ids->back() != loaded->special_token_id("<eos>")) {
    std::cerr << "train_encode: the line does not end with the <eos> token\n";
    return 1;
  }

  std::cout << "corpus: " << corpus.size() << " bytes\n"
            << "model: " << model_path << ", " << std::filesystem::file_size(model_path)
            << " bytes, vocab size " << loaded->vocab_size() << "\n"
            << "line: " << line.size() << " bytes -> " << ids->size() << " tokens ("
            << static_cast<double>(line.size()) / static_cast<double>(ids->size())
            << " bytes per token), round trip exact\n";
  return 0;
}
