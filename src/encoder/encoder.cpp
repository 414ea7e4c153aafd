// Placeholder until the encoders land: builds, encodes nothing.
#include "encoder/encoder.h"

namespace tarvik {

struct Encoder::Impl {
  Vocab vocab;
  double context_weight = 0.3;
  std::size_t max_token_len = 1;
};

Encoder::Encoder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Encoder::Encoder(Encoder&&) noexcept = default;
Encoder& Encoder::operator=(Encoder&&) noexcept = default;
Encoder::~Encoder() = default;

Result<Encoder> Encoder::build(Vocab vocab, double context_weight) {
  auto impl = std::make_unique<Impl>();
  impl->vocab = std::move(vocab);
  impl->context_weight = context_weight;
  return Encoder(std::move(impl));
}

Result<TokenIds> Encoder::encode_greedy(std::string_view) const { return Error::internal("not built yet"); }
Result<TokenIds> Encoder::encode_scored(std::string_view) const { return Error::internal("not built yet"); }
Result<TokenIds> Encoder::encode_parallel(std::string_view) const { return Error::internal("not built yet"); }
Result<TokenIds> Encoder::encode_dense(std::string_view) const { return Error::internal("not built yet"); }
Result<Offsets> Encoder::offsets(std::span<const TokenId>) const { return Error::internal("not built yet"); }

const Vocab& Encoder::vocab() const { return impl_->vocab; }
Vocab& Encoder::vocab_mut() { return impl_->vocab; }
double Encoder::context_weight() const { return impl_->context_weight; }
std::size_t Encoder::max_token_len() const { return impl_->max_token_len; }

}  // namespace tarvik
