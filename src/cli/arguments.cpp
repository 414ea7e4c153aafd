// Command-line parsing for the tarvik command.
#include "cli/arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "cli/text.h"

namespace tarvik::cli {
namespace {

constexpr std::size_t kHelpWidth = 79;

Error usage(std::string message) { return Error::invalid_argument(std::move(message)); }

const OptionSpec* find_long(const CommandSpec& spec, std::string_view name) {
  for (const OptionSpec& option : spec.options)
    if (option.name == name) return &option;
  return nullptr;
}

const OptionSpec* find_short(const CommandSpec& spec, char name) {
  for (const OptionSpec& option : spec.options)
    if (option.short_name != '\0' && option.short_name == name) return &option;
  return nullptr;
}

// `text` after `first`, broken at spaces into lines of at most kHelpWidth
// columns where the words allow; continuation lines start at column `indent`.
std::string wrapped(std::string first, std::string_view text, std::size_t indent) {
  std::string out;
  std::string line = std::move(first);
  const std::size_t start_size = line.size();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(start, end - start);
    if (line.size() > start_size && line.size() + 1 + word.size() > kHelpWidth) {
      out += line + "\n";
      line = std::string(indent, ' ');
    } else if (line.size() > start_size) {
      line += ' ';
    }
    line += word;
    start = end + 1;
  }
  return out + line + "\n";
}

std::string option_label(const OptionSpec& option) { return "--" + std::string(option.name); }

}  // namespace

bool ParsedArgs::has(std::string_view option) const {
  return std::any_of(given_.begin(), given_.end(),
                     [&](const auto& entry) { return entry.first == option; });
}

std::optional<std::string_view> ParsedArgs::value(std::string_view option) const {
  for (auto it = given_.rbegin(); it != given_.rend(); ++it)
    if (it->first == option) return std::string_view(it->second);
  return std::nullopt;
}

std::vector<std::string> ParsedArgs::values(std::string_view option) const {
  std::vector<std::string> out;
  for (const auto& [name, text] : given_)
    if (name == option) out.push_back(text);
  return out;
}

Result<std::string_view> ParsedArgs::get_required(std::string_view option,
                                                 std::string_view description) const {
  std::optional<std::string_view> text = value(option);
  if (!text) return usage("missing " + std::string(description));
  return *text;
}

Result<std::uint64_t> ParsedArgs::get_uint(std::string_view option, std::uint64_t fallback,
                                           std::uint64_t min, std::uint64_t max) const {
  std::optional<std::string_view> text = value(option);
  if (!text) return fallback;
  std::uint64_t number = 0;
  const char* end = text->data() + text->size();
  auto [ptr, ec] = std::from_chars(text->data(), end, number);
  const bool digits_only = !text->empty() && ptr == end;
  if (!digits_only || (ec != std::errc() && ec != std::errc::result_out_of_range))
    return usage("--" + std::string(option) + ": expected a whole number, got " + quoted(*text));
  // A number past 64 bits is as far outside the range as the largest.
  if (ec == std::errc::result_out_of_range || number < min || number > max)
    return usage("--" + std::string(option) + ": " + std::string(*text) + " is outside " +
                 std::to_string(min) + ".." + std::to_string(max));
  return number;
}

Result<double> ParsedArgs::get_double(std::string_view option, double fallback) const {
  std::optional<std::string_view> text = value(option);
  if (!text) return fallback;
  // strtod needs a terminated string; the value may be a view into a longer one.
  std::string copy(*text);
  char* end = nullptr;
  double number = std::strtod(copy.c_str(), &end);
  // strtod skips leading spaces, which no other option accepts.
  if (copy.empty() || std::isspace(static_cast<unsigned char>(copy.front())) ||
      end != copy.c_str() + copy.size() || !std::isfinite(number))
    return usage("--" + std::string(option) + ": expected a number, got " + quoted(*text));
  return number;
}

Result<std::string_view> ParsedArgs::get_choice(std::string_view option,
                                                std::string_view fallback,
                                                std::span<const std::string_view> choices) const {
  std::optional<std::string_view> text = value(option);
  if (!text) return fallback;
  for (std::string_view choice : choices)
    if (choice == *text) return choice;
  std::string list;
  for (std::string_view choice : choices) list += (list.empty() ? "" : ", ") + std::string(choice);
  return usage("--" + std::string(option) + ": expected one of " + list + ", got " + quoted(*text));
}

Result<ParsedArgs> parse(const CommandSpec& spec, std::span<const std::string_view> args) {
  ParsedArgs parsed;
  bool options_ended = false;
  auto take = [&](const OptionSpec& option, std::optional<std::string_view> inline_value,
                  std::size_t& index) -> Status {
    if (option.value_name.empty()) {
      if (inline_value) return usage(option_label(option) + " takes no value");
    } else if (!inline_value) {
      if (index + 1 >= args.size()) return usage(option_label(option) + " needs a value");
      inline_value = args[++index];
    }
    if (!option.repeatable && parsed.has(option.name))
      return usage(option_label(option) + " given more than once");
    parsed.given_.emplace_back(option.name, std::string(inline_value.value_or("")));
    return {};
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
      parsed.positionals.emplace_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "-h" || arg == "--help") {
      parsed.help = true;
    } else if (arg.starts_with("--")) {
      std::string_view body = arg.substr(2);
      std::optional<std::string_view> inline_value;
      if (std::size_t eq = body.find('='); eq != std::string_view::npos) {
        inline_value = body.substr(eq + 1);
        body = body.substr(0, eq);
      }
      const OptionSpec* option = find_long(spec, body);
      if (option == nullptr) return usage("unrecognized option " + quoted("--" + std::string(body)));
      TARVIK_TRY(take(*option, inline_value, i));
    } else {
      const OptionSpec* option = find_short(spec, arg[1]);
      if (option == nullptr) return usage("unrecognized option " + quoted(arg.substr(0, 2)));
      std::optional<std::string_view> inline_value;
      if (arg.size() > 2) {
        if (option->value_name.empty()) return usage("unrecognized option " + quoted(arg));
        inline_value = arg.substr(2);
      }
      TARVIK_TRY(take(*option, inline_value, i));
    }
  }
  if (parsed.help) return parsed;
  if (parsed.positionals.size() < spec.min_positionals)
    return usage(spec.min_positionals == 1
                     ? "missing " + std::string(spec.positional_name)
                     : "expected at least " + std::to_string(spec.min_positionals) + " " +
                           std::string(spec.positional_name));
  if (parsed.positionals.size() > spec.max_positionals)
    return usage("unexpected argument " + quoted(parsed.positionals[spec.max_positionals]));
  return parsed;
}

std::string help_text(const CommandSpec& spec) {
  std::string out = "usage: tarvik " + std::string(spec.usage) + "\n";
  if (!spec.description.empty()) out += "\n" + wrapped("", spec.description, 0);
  std::vector<std::pair<std::string, std::string_view>> rows;
  for (const OptionSpec& option : spec.options) {
    std::string left = "    ";
    if (option.short_name != '\0') left = {'-', option.short_name, ',', ' '};
    left += "--";
    left += option.name;
    if (!option.value_name.empty()) (left += ' ') += option.value_name;
    rows.emplace_back(std::move(left), option.help);
  }
  rows.emplace_back("-h, --help", "show this help and exit");
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  out += "\noptions:\n";
  for (const auto& [left, help] : rows)
    out += wrapped("  " + left + std::string(width - left.size() + 2, ' '), help, width + 4);
  return out;
}

}  // namespace tarvik::cli
