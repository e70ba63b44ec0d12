// Writes the bundle's description (manifest.ttl, glimm.ttl, presets.ttl) from
// the parameter table, so port ranges live in one place only.
//   glimm_lv2_ttl OUTDIR DSP_BINARY UI_BINARY|- MINOR MICRO
// UI_BINARY "-" leaves the UI out of the manifest.
#include "GlimmLv2.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kPrefixes[] =
    "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix log: <http://lv2plug.in/ns/ext/log#> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix patch: <http://lv2plug.in/ns/ext/patch#> .\n"
    "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix rsz: <http://lv2plug.in/ns/ext/resize-port#> .\n"
    "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix time: <http://lv2plug.in/ns/ext/time#> .\n"
    "@prefix ui: <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
    "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n\n";

// Room for a patch:Set carrying the longest text, with headroom.
constexpr int kAtomBufferBytes = 4096;

struct Preset {
  const char* id;
  const char* label;
  const char* text;
  float values[kGlimmParamCount];
};

const Preset kPresets[] = {
    {"greeting", "Greeting", "Hello! I am Glimm. Type anything and I will say it.", {128, 100, 128, 128, 0}},
    {"robot", "Slow deep robot", "I am a robot. Resistance is not a feature.", {20, 40, 60, 200, 0}},
    {"chipmunk", "Fast chipmunk", "Nuts! Nuts! I need more nuts, right now, please!", {240, 190, 220, 40, 0}},
    {"singer", "Sung phrase", "Glimm sings la la la", {128, 90, 150, 110, 1}},
};

// A Turtle decimal: always with a point, never in the locale's notation.
std::string decimal(float v) {
  char buf[32];
  if (v == std::floor(v))
    std::snprintf(buf, sizeof buf, "%.1f", double(v));
  else
    std::snprintf(buf, sizeof buf, "%.6f", double(v));
  return buf;
}

// A Turtle string literal; the texts here hold no line breaks.
std::string literal(const char* s) {
  std::string out = "\"";
  for (const char* p = s; *p; ++p) {
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  return out + "\"";
}

std::string presetUri(const Preset& p) { return std::string("<" GLIMM_LV2_URI "#preset-") + p.id + ">"; }

bool writeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  // A full disk shows up only at close.
  if (std::fclose(f) != 0 || !ok) {
    std::fprintf(stderr, "%s: write failed\n", path.c_str());
    return false;
  }
  return true;
}

std::string manifest(const char* dspBinary, const char* uiBinary) {
  std::string s = kPrefixes;
  s += "<" GLIMM_LV2_URI ">\n    a lv2:Plugin ;\n    lv2:binary <" + std::string(dspBinary) +
       "> ;\n    rdfs:seeAlso <glimm.ttl> .\n\n";
  for (const Preset& p : kPresets)
    s += presetUri(p) + "\n    a pset:Preset ;\n    lv2:appliesTo <" GLIMM_LV2_URI "> ;\n    rdfs:label " +
         literal(p.label) + " ;\n    rdfs:seeAlso <presets.ttl> .\n\n";
  if (uiBinary) {
    s += "<" GLIMM_LV2_URI ">\n    ui:ui <" GLIMM_LV2_UI_URI "> .\n\n";
    s += "<" GLIMM_LV2_UI_URI ">\n    a ui:X11UI ;\n    ui:binary <" + std::string(uiBinary) +
         "> ;\n"
         "    lv2:requiredFeature ui:idleInterface ;\n"
         "    lv2:extensionData ui:idleInterface ;\n"
         "    ui:portNotification [\n"
         "        ui:plugin <" GLIMM_LV2_URI
         "> ;\n"
         "        lv2:symbol \"notify\" ;\n"
         "        ui:protocol atom:eventTransfer\n"
         "    ] .\n";
  }
  return s;
}

// The ports the host, not the user, deals with, after the parameters.
std::string hostPorts() {
  // Offline rendering waits for the worker.
  std::string s = " , [\n        a lv2:InputPort , lv2:ControlPort ;\n        lv2:index " +
                  std::to_string(kGlimmPortFreeWheel) +
                  " ;\n        lv2:symbol \"freewheel\" ;\n        lv2:name \"Free-wheeling\" ;\n"
                  "        lv2:designation lv2:freeWheeling ;\n"
                  "        lv2:portProperty lv2:toggled , lv2:connectionOptional , pprops:notOnGUI ;\n"
                  "        lv2:default 0 ;\n        lv2:minimum 0 ;\n        lv2:maximum 1\n    ]";
  // One 256-frame block at 48 kHz, or the host's longest block.
  s += " , [\n        a lv2:OutputPort , lv2:ControlPort ;\n        lv2:index " + std::to_string(kGlimmPortLatency) +
       " ;\n        lv2:symbol \"latency\" ;\n        lv2:name \"Latency\" ;\n"
       "        lv2:designation lv2:latency ;\n"
       "        lv2:portProperty lv2:reportsLatency , lv2:integer , lv2:connectionOptional , pprops:notOnGUI ;\n"
       "        lv2:minimum 0 ;\n        lv2:maximum 16384\n    ]";
  return s;
}

std::string plugin(int minor, int micro) {
  std::string s = kPrefixes;
  // Hosts name the author from the project's maintainer (lilv looks there).
  s += "<" GLIMM_LV2_PROJECT_URI
       ">\n    a doap:Project ;\n    doap:name \"Glimm\" ;\n"
       "    doap:maintainer [\n        a foaf:Person ;\n        foaf:name \"" GLIMM_LV2_MAINTAINER "\"\n    ] .\n\n";
  s += "<" GLIMM_LV2_TEXT_URI ">\n    a lv2:Parameter ;\n    rdfs:label \"text\" ;\n    rdfs:range atom:String .\n\n";
  s += "<" GLIMM_LV2_VOICE_URI ">\n    a lv2:Parameter ;\n    rdfs:label \"voice\" ;\n    rdfs:range atom:String .\n\n";
  s += "<" GLIMM_LV2_SPEAK_URI ">\n    a lv2:Parameter ;\n    rdfs:label \"speak\" ;\n    rdfs:range atom:Bool .\n\n";
  s += "<" GLIMM_LV2_URI
       ">\n"
       "    a lv2:Plugin , lv2:InstrumentPlugin ;\n"
       "    doap:name \"Glimm\" ;\n"
       "    lv2:project <" GLIMM_LV2_PROJECT_URI
       "> ;\n"
       "    doap:license <https://spdx.org/licenses/GPL-3.0-or-later> ;\n"
       "    lv2:minorVersion " +
       std::to_string(minor) + " ;\n    lv2:microVersion " + std::to_string(micro) +
       " ;\n"
       "    lv2:requiredFeature urid:map , work:schedule ;\n"
       "    lv2:optionalFeature log:log , lv2:hardRTCapable ;\n"
       "    lv2:extensionData state:interface , work:interface ;\n"
       "    patch:writable <" GLIMM_LV2_TEXT_URI "> , <" GLIMM_LV2_SPEAK_URI "> , <" GLIMM_LV2_VOICE_URI
       "> ;\n"
       "    patch:readable <" GLIMM_LV2_TEXT_URI "> , <" GLIMM_LV2_VOICE_URI "> ;\n";
  const std::string atomSize = std::to_string(kAtomBufferBytes);
  s += "    lv2:port [\n"
       "        a lv2:InputPort , atom:AtomPort ;\n"
       "        atom:bufferType atom:Sequence ;\n"
       "        atom:supports midi:MidiEvent , patch:Message , time:Position ;\n"
       "        lv2:designation lv2:control ;\n"
       "        rsz:minimumSize " +
       atomSize + " ;\n        lv2:index " + std::to_string(kGlimmPortControl) +
       " ;\n"
       "        lv2:symbol \"control\" ;\n"
       "        lv2:name \"Control\"\n"
       "    ] , [\n"
       "        a lv2:OutputPort , atom:AtomPort ;\n"
       "        atom:bufferType atom:Sequence ;\n"
       "        atom:supports patch:Message ;\n"
       "        lv2:designation lv2:control ;\n"
       "        rsz:minimumSize " +
       atomSize + " ;\n        lv2:index " + std::to_string(kGlimmPortNotify) +
       " ;\n"
       "        lv2:symbol \"notify\" ;\n"
       "        lv2:name \"Notify\"\n"
       "    ] , [\n"
       "        a lv2:OutputPort , lv2:AudioPort ;\n"
       "        lv2:index " +
       std::to_string(kGlimmPortOut) +
       " ;\n"
       "        lv2:symbol \"out\" ;\n"
       "        lv2:name \"Out\"\n"
       "    ]";
  for (const GlimmParameterFacts& p : kGlimmParameters) {
    s += " , [\n        a lv2:InputPort , lv2:ControlPort ;\n        lv2:index " +
         std::to_string(glimmParameterPort(p.index)) + " ;\n        lv2:symbol \"" + p.symbol +
         "\" ;\n        lv2:name " + literal(p.name) + " ;\n        lv2:default " + decimal(p.defaultValue) +
         " ;\n        lv2:minimum " + decimal(p.minimum) + " ;\n        lv2:maximum " + decimal(p.maximum);
    if (p.integer) s += " ;\n        lv2:portProperty lv2:integer";
    if (p.toggle) s += " ;\n        lv2:portProperty lv2:toggled";
    s += "\n    ]";
  }
  s += hostPorts() + " .\n";
  return s;
}

std::string presets() {
  std::string s = kPrefixes;
  for (const Preset& p : kPresets) {
    s += presetUri(p) + "\n    a pset:Preset ;\n    lv2:appliesTo <" GLIMM_LV2_URI "> ;\n    rdfs:label " +
         literal(p.label) + " ;\n    lv2:port";
    for (int i = 0; i < kGlimmParamCount; ++i)
      s += std::string(i ? " , [\n" : " [\n") + "        lv2:symbol \"" + kGlimmParameters[i].symbol +
           "\" ;\n        pset:value " + decimal(p.values[i]) + "\n    ]";
    s += " ;\n    state:state [\n        <" GLIMM_LV2_TEXT_URI "> " + literal(p.text) + "\n    ] .\n\n";
  }
  return s;
}

// Presets out of a parameter's range would be clamped silently by hosts.
bool presetsInRange() {
  for (const Preset& p : kPresets)
    for (const GlimmParameterFacts& f : kGlimmParameters)
      if (!(p.values[f.index] >= f.minimum && p.values[f.index] <= f.maximum) ||
          std::strlen(p.text) > kGlimmTextMaxBytes) {
        std::fprintf(stderr, "preset %s: %s out of range\n", p.id, f.symbol);
        return false;
      }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s OUTDIR DSP_BINARY UI_BINARY|- MINOR MICRO\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const char* ui = std::strcmp(argv[3], "-") == 0 ? nullptr : argv[3];
  if (!presetsInRange()) return 1;
  const bool ok = writeFile(dir + "/manifest.ttl", manifest(argv[2], ui)) &&
                  writeFile(dir + "/glimm.ttl", plugin(std::atoi(argv[4]), std::atoi(argv[5]))) &&
                  writeFile(dir + "/presets.ttl", presets());
  return ok ? 0 : 1;
}
