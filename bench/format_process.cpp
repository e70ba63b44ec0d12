// The CLAP and VST3 plug-ins' process() per 256-frame block while they
// speak, against the same voice (VoiceController) rendered directly in a
// child process. All three speak the same text, block by block at about
// real-time pace, in rounds that take turns. Each plug-in is loaded as a host
// loads it (ClapTestHost.h, Vst3TestHost.h) and given the text in its state.
//   bench_format_process [--quick] [--runs N]
#include "ClapTestHost.h"
#include "PluginState.h"
#include "VoiceController.h"
#include "Vst3TestHost.h"
#include "voicebench.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace voicebench;

std::vector<uint8_t> stateWithText() {
  VoiceController v(nullptr);
  v.setText(kText, sizeof kText - 1);
  return glimm::state::save(v);
}

// One utterance of the CLAP, started by a note in speech mode; its block
// times, or nothing when it could not be made to speak.
std::vector<double> clapUtterance(bool quick, const claphost::Module& module) {
  claphost::Instance g(module, "org.glimm.speech");
  if (!g.plugin || !g.activate(kRate, kBlock) || !g.load(stateWithText())) return {};
  g.events.note(CLAP_EVENT_NOTE_ON, 60, 1, 0);
  return timeUtterance(quick, g.lastLeft().data(), [&] {
    const auto t0 = Clock::now();
    g.processOnly(kBlock);
    const double ns = nsSince(t0);
    g.events.clear();
    return ns;
  });
}

std::vector<double> vst3Utterance(bool quick) {
  vst3host::Instance g(GLIMM_VST3_BUNDLE);
  if (!g.ready() || !g.activate(kRate, kBlock) || !g.load(stateWithText())) return {};
  g.events.note(true, 60, 1, 0);
  return timeUtterance(quick, g.lastLeft().data(), [&] {
    const auto t0 = Clock::now();
    g.processOnly(kBlock);
    const double ns = nsSince(t0);
    g.events.events.clear();
    return ns;
  });
}

}  // namespace

int main(int argc, char** argv) {
  voicebench::Options o;
  if (!voicebench::parseOptions(argc, argv, o)) return 2;
  if (o.direct) return directSide(o.quick);

  const claphost::Module clap(GLIMM_CLAP_PATH);
  if (!clap.factory) {
    std::fprintf(stderr, "cannot load %s\n", GLIMM_CLAP_PATH);
    return 1;
  }
  // In turns, so that a change in the machine's load falls on every side.
  std::vector<double> medians[3];
  size_t blocks[3] = {};
  const char* names[3] = {"the direct voice", "the CLAP", "the VST3"};
  for (int round = 0; round < o.rounds; ++round) {
    size_t directBlocks = 0;
    const double d = runDirect(o.quick, &directBlocks);
    const std::vector<double> sides[2] = {clapUtterance(o.quick, clap), vst3Utterance(o.quick)};
    const size_t counts[3] = {d < 0 ? 0 : directBlocks, sides[0].size(), sides[1].size()};
    for (int s = 0; s < 3; ++s) {
      if (counts[s] < 50) {
        std::fprintf(stderr, "%s did not speak (%zu blocks)\n", names[s], counts[s]);
        return 1;
      }
      medians[s].push_back(s == 0 ? d : median(sides[s - 1]));
      blocks[s] += counts[s];
    }
  }
  const double d = median(medians[0]) / 1000, c = median(medians[1]) / 1000, v = median(medians[2]) / 1000;
  std::printf(
      "# format_process: medians of %d rounds (%zu, %zu and %zu blocks of %u frames with speech: direct, "
      "CLAP, VST3); budget %.0f us a block\n",
      o.rounds, blocks[0], blocks[1], blocks[2], kBlock, 1e6 * kBlock / kRate);
  // Goal: each format within 10 % of the voice rendered directly.
  std::printf("row|clap_process|process() per %u-frame block while speaking (us)|%.2f|%.2f|%.2f|<= 1.1|%s\n", kBlock, c,
              d, c / d, c / d <= 1.1 ? "met" : "not met");
  std::printf("row|vst3_process|process() per %u-frame block while speaking (us)|%.2f|%.2f|%.2f|<= 1.1|%s\n", kBlock, v,
              d, v / d, v / d <= 1.1 ? "met" : "not met");
  return 0;
}
