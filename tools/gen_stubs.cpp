// Writes the type stubs of the compiled module: the template's text with
// the feature and target classes filled in from the catalogue.
//   gen_stubs TEMPLATE OUTPUT

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/catalog.h"

namespace {

using sarvek::ParamDescription;
using sarvek::ParamKind;

std::string annotation(const ParamDescription& p) {
  switch (p.kind) {
    case ParamKind::names: return "Sequence[str]";
    case ParamKind::name: return "str";
    case ParamKind::count: return "SupportsIndex";
  }
  return "object";
}

std::string constructor(const std::vector<ParamDescription>& params) {
  std::string text = "    def __new__(cls";
  for (const ParamDescription& p : params) {
    text += ", " + std::string(p.name) + ": " + annotation(p);
    if (p.default_count) text += " = " + std::to_string(*p.default_count);
  }
  return text + ") -> Self: ...\n";
}

// `items` joined by `sep`, broken into lines of at most 110 characters,
// continuation lines indented by `indent`.
std::string wrapped(const std::vector<std::string>& items, const std::string& sep, const std::string& indent,
                    std::size_t first) {
  std::string out, line;
  std::size_t used = first;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string piece = items[i] + (i + 1 < items.size() ? sep : "");
    if (used + piece.size() > 110 && !line.empty()) {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + "\n" + indent;
      line.clear();
      used = indent.size();
    }
    line += piece;
    used += piece.size();
  }
  return out + line;
}

void replace(std::string& text, const std::string& key, const std::string& value) {
  const auto at = text.find(key);
  if (at == std::string::npos) throw std::runtime_error("template lacks " + key);
  text.replace(at, key.size(), value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: gen_stubs TEMPLATE OUTPUT\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  if (!in || text.empty()) {
    std::cerr << "gen_stubs: cannot read " << argv[1] << "\n";
    return 1;
  }

  std::string classes;
  std::vector<std::string> all, features, targets;
  for (const sarvek::FeatureDescription* f : sarvek::feature_catalog()) {
    classes += "@final\nclass " + std::string(f->name) + ":\n" + constructor(f->params) +
               "    def update(self, values: Sequence[SupportsFloat]) -> list[float]:\n"
               "        \"\"\"One bar in, one result list out. A refused bar (too few values,\n"
               "        values that are not numbers) leaves the feature unchanged.\"\"\"\n"
               "    def reset(self) -> None: ...\n"
               "    def input_names(self) -> list[str]: ...\n"
               "    def output_names(self) -> list[str]: ...\n"
               "    def warm_up_period(self) -> int: ...\n\n";
    all.push_back("\"" + std::string(f->name) + "\"");
    features.push_back(f->name);
  }
  for (const sarvek::TargetDescription* t : sarvek::target_catalog()) {
    classes += "@final\nclass " + std::string(t->name) + ":\n" + constructor(t->params) +
               "    def input_names(self) -> list[str]: ...\n"
               "    def output_names(self) -> list[str]: ...\n"
               "    def forward_period(self) -> int: ...\n\n";
    all.push_back("\"" + std::string(t->name) + "\"");
    targets.push_back(t->name);
  }
  all.push_back("\"FeaturePipeline\"");
  all.push_back("\"TargetPipeline\"");

  replace(text, "@CLASSES@\n", classes);
  replace(text, "[@ALL@]", "[\n    " + wrapped(all, ", ", "    ", 4) + ",\n]");
  replace(text, "@ANY_FEATURE@", "(" + wrapped(features, " | ", "               ", 15) + ")");
  replace(text, "@ANY_TARGET@", wrapped(targets, " | ", "    ", 13));

  std::ofstream out(argv[2]);
  out << text;
  out.close();
  if (!out) {
    std::cerr << "gen_stubs: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
