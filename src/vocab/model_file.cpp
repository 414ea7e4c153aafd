// Placeholder until the model file lands.
#include "vocab/model_file.h"

namespace tarvik {

std::string render_model(const Vocab&) { return {}; }
Result<Vocab> parse_model(std::string_view) { return Error::io("not built yet"); }
Status save_model(const Vocab&, const std::string&) { return Error::io("not built yet"); }
Result<Vocab> load_model(const std::string&) { return Error::io("not built yet"); }

}  // namespace tarvik
