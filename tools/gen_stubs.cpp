// Writes the type stubs of the compiled module: the template's text with
// the module's fixed feature and target classes filled in from the
// catalogue, and the stubs of its `_classes` namespace (the classes the
// package exports beside them).
//   gen_stubs TEMPLATE OUTPUT CLASSES_OUTPUT

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
    case ParamKind::real: return "float";
  }
  return "object";
}

std::string constructor(const std::vector<ParamDescription>& params) {
  std::string text = "    def __new__(cls";
  for (const ParamDescription& p : params) {
    text += ", " + std::string(p.name) + ": " + annotation(p);
    if (p.default_count) text += " = " + std::to_string(*p.default_count);
    if (p.default_real) text += " = " + sarvek::real_text(*p.default_real);
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

std::string feature_class(const sarvek::FeatureDescription& f) {
  return "@final\nclass " + std::string(f.name) + ":\n" + constructor(f.params) +
         "    def update(self, values: Sequence[SupportsFloat]) -> list[float]:\n"
         "        \"\"\"One bar in, one result list out. A refused bar (too few values,\n"
         "        values that are not numbers) leaves the feature unchanged.\"\"\"\n"
         "    def reset(self) -> None: ...\n"
         "    def input_names(self) -> list[str]: ...\n"
         "    def output_names(self) -> list[str]: ...\n"
         "    def warm_up_period(self) -> int: ...\n\n";
}

std::string target_class(const sarvek::TargetDescription& t) {
  return "@final\nclass " + std::string(t.name) + ":\n" + constructor(t.params) +
         "    def input_names(self) -> list[str]: ...\n"
         "    def output_names(self) -> list[str]: ...\n"
         "    def forward_period(self) -> int: ...\n\n";
}

bool write(const char* path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.close();
  if (!out) std::cerr << "gen_stubs: cannot write " << path << "\n";
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: gen_stubs TEMPLATE OUTPUT CLASSES_OUTPUT\n";
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

  // The fixed classes go into the module's stubs, the package's into its
  // `_classes` namespace; unions over every feature (target) class name
  // the latter through the namespace.
  std::string classes, package_classes;
  std::vector<std::string> all, package_all, features, targets;
  for (const sarvek::FeatureDescription* f : sarvek::feature_catalog()) {
    const bool fixed = f->visibility == sarvek::Visibility::module;
    (fixed ? classes : package_classes) += feature_class(*f);
    (fixed ? all : package_all).push_back("\"" + std::string(f->name) + "\"");
    features.push_back(fixed ? std::string(f->name) : "_classes." + std::string(f->name));
  }
  for (const sarvek::TargetDescription* t : sarvek::target_catalog()) {
    const bool fixed = t->visibility == sarvek::Visibility::module;
    (fixed ? classes : package_classes) += target_class(*t);
    (fixed ? all : package_all).push_back("\"" + std::string(t->name) + "\"");
    targets.push_back(fixed ? std::string(t->name) : "_classes." + std::string(t->name));
  }
  all.push_back("\"FeaturePipeline\"");
  all.push_back("\"TargetPipeline\"");

  replace(text, "@CLASSES@\n", classes);
  replace(text, "[@ALL@]", "[\n    " + wrapped(all, ", ", "    ", 4) + ",\n]");
  replace(text, "@ANY_FEATURE@", "(" + wrapped(features, " | ", "               ", 15) + ")");
  replace(text, "@ANY_TARGET@", "(" + wrapped(targets, " | ", "              ", 14) + ")");

  const std::string namespace_text =
      "\"\"\"The feature and target classes the sarvek package exports beside the\n"
      "fixed classes of _sarvek (generated from the catalogue).\"\"\"\n"
      "from collections.abc import Sequence\n"
      "from typing import Self, SupportsFloat, SupportsIndex, final\n\n"
      "__all__ = [" + (package_all.empty() ? std::string() : "\n    " + wrapped(package_all, ", ", "    ", 4) + ",\n") +
      "]\n\n" + package_classes;
  if (!write(argv[2], text) || !write(argv[3], namespace_text)) return 1;
  return 0;
}
