// MIDI from other programs into the unit: an input port named "Glimm" on the
// first MIDI system that is running (the ALSA sequencer, else JACK), through
// RtMidi. Messages are stamped when they arrive and handed to the audio
// thread through a lock-free ring; each render delivers those that arrived
// during the previous block, at the same distance from the block's start, so
// their timing is kept to within one block.
//
// Threads: open, close and listSources on the main thread; RtMidi's own
// thread calls the message callback; deliver on the audio thread only, where
// it never locks, allocates or waits.
#pragma once

#include <AudioUnit/AudioUnit.h>

#include "SpscRing.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RtMidiIn;

class MidiInput {
 public:
  static constexpr char kPortName[] = "Glimm";

  // Where deliver() sends each message; MusicDeviceMIDIEvent to the unit by default.
  using Sink = void (*)(void* context, uint8_t status, uint8_t data1, uint8_t data2, uint32_t offsetFrames);

  MidiInput(MusicDeviceComponent unit, double sampleRate);
  MidiInput(Sink sink, void* context, double sampleRate);
  ~MidiInput();
  MidiInput(const MidiInput&) = delete;
  MidiInput& operator=(const MidiInput&) = delete;

  // Opens the port; false with `error` saying so when no MIDI system takes it.
  bool open(std::string* error);
  void close();
  // "JACK" or "ALSA" once open.
  const std::string& system() const { return m_system; }

  // Audio thread, before each render of `frames` frames.
  void deliver(unsigned frames) { deliver(frames, nowNs()); }
  void deliver(unsigned frames, int64_t nowNs);

  // Messages dropped because the ring was full or they were not channel messages.
  unsigned long long dropped() const { return m_dropped.load(std::memory_order_relaxed); }

  // Lines naming the MIDI sources that can be connected to the port, per
  // system; `running` is false when no MIDI system is running at all.
  static std::vector<std::string> listSources(bool* running);

  // One channel message as it crosses the ring.
  struct Event {
    int64_t arrivedNs;  // CLOCK_MONOTONIC
    uint8_t status, data1, data2, pad;
  };
  // RtMidi's callback: public so the C-style callback can reach it.
  void received(const unsigned char* bytes, size_t size) { received(bytes, size, nowNs()); }
  void received(const unsigned char* bytes, size_t size, int64_t arrivedNs);

  // CLOCK_MONOTONIC in nanoseconds: the clock both sides stamp with.
  static int64_t nowNs();
  // What one render delivers at most; the rest waits for the next block, so
  // a flood cannot stretch the audio thread's work without bound.
  static constexpr size_t kEventsPerBlock = 1024;
  static constexpr size_t kRingEvents = 4096;

 private:
  Sink m_sink;
  void* m_context;
  const double m_sampleRate;
  std::unique_ptr<RtMidiIn> m_in;
  SpscRingOf<Event> m_ring;
  int64_t m_blockStartNs = -1;  // audio thread only
  std::atomic<unsigned long long> m_dropped{0};
  std::atomic<bool> m_failed{false};  // the open input's errors
  std::string m_system;
};
