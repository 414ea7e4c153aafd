// Saving and loading the model file: the document on the file system.
#include "vocab/model_file.h"

#include "common/file_io.h"

namespace tarvik {

Status save_model(const Vocab& vocab, std::span<const Filter> filters, const std::string& path,
                  const CancelCheck& on_interrupt) {
  return save_file(path, detail::render_model_buffer(vocab, filters).view(), on_interrupt);
}

Result<ModelDocument> load_model(const std::string& path, const CancelCheck& on_interrupt) {
  Result<detail::ByteBuffer> text = read_file(path, on_interrupt);
  if (!text.ok()) return std::move(text).error();
  return parse_model(text->view());
}

}  // namespace tarvik
