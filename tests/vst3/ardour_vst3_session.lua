-- One step of the Ardour VST3 test, run by ardour7-lua with the Dummy backend:
--   ardour7-lua ardour_vst3_session.lua SESSION_DIR create|reload WAV_DIR
-- create: a new session with a MIDI track playing Glimm's VST3, sing mode
--   on and speed 70, a region with two notes; saved, then exported.
-- reload: the saved session loaded as it is, its values printed, exported.
-- Lines starting with "value " are read by the calling script.
local dir, mode, wavdir = arg[1], arg[2], arg[3]
local rate = 48000
local seconds = 8

local function check(ok, what)
  if not ok then error("ardour vst3 test: " .. what) end
end

check(AudioEngine:set_backend("None (Dummy)", "", ""), "no Dummy backend")
local session
if mode == "create" then
  session = create_session(dir, "glimm", rate)
else
  session = load_session(dir, "glimm")
end
check(session, "no session in " .. dir)

local track
if mode == "create" then
  local glimm = ARDOUR.LuaAPI.new_plugin_info("Glimm", ARDOUR.PluginType.VST3)
  check(not glimm:isnil(), "Glimm's VST3 is not in the scanner's cache")
  local tracks = session:new_midi_track(ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1),
                                        ARDOUR.ChanCount(ARDOUR.DataType("audio"), 2), false, glimm, nil, nil, 1,
                                        "voice", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true, false)
  check(tracks:size() == 1, "no MIDI track")
  track = tracks:front():to_track()
else
  local route = session:route_by_name("voice")
  check(not route:isnil(), "the track is gone after reloading")
  track = route:to_track()
end

local instrument = track:the_instrument()
check(not instrument:isnil(), "the track has no instrument")
local plugin = instrument:to_insert():plugin(0)

local controls = {}
local n = 0
for i = 0, plugin:parameter_count() - 1 do
  if plugin:parameter_is_control(i) and plugin:parameter_is_input(i) then
    controls[plugin:parameter_label(i)] = n
    n = n + 1
  end
end
check(controls["speed"] and controls["sing mode"], "speed or sing mode is missing")

if mode == "create" then
  check(ARDOUR.LuaAPI.set_processor_param(instrument, controls["sing mode"], 1), "sing mode not set")
  check(ARDOUR.LuaAPI.set_processor_param(instrument, controls["speed"], 70), "speed not set")
  local region = track:bounce_range(0, rate * seconds, ARDOUR.InterThreadInfo(), instrument, false, "notes")
  check(not region:isnil() and region:data_type():to_string() == "midi", "no MIDI region")
  track:playlist():add_region(region, Temporal.timepos_t(0), 1, false)
  local model = region:to_midiregion():model()
  local notes = model:new_note_diff_command("notes")
  -- A3 (220 Hz) at 0 s and at 4 s (120 beats a minute), two beats long.
  notes:add(ARDOUR.LuaAPI.new_noteptr(0, Temporal.Beats(0, 0), Temporal.Beats(2, 0), 57, 100))
  notes:add(ARDOUR.LuaAPI.new_noteptr(0, Temporal.Beats(8, 0), Temporal.Beats(2, 0), 57, 100))
  model:apply_command(session, notes)
  check(session:save_state("", false, false, false, false, false) == 0, "the session was not saved")
end

for label, index in pairs(controls) do
  print(string.format("value %s %g", label:gsub(" ", "_"), ARDOUR.LuaAPI.get_processor_param(instrument, index)))
end
print(string.format("value block %d", session:get_block_size()))

local export = session:simple_export()
export:set_folder(wavdir)
export:set_name(mode)
export:set_range(0, rate * seconds)
check(export:set_preset("75969a1c-3133-4694-864b-a1fa50e43348"), "no WAV export preset")
check(export:run_export(), "the export failed")
close_session()
print("finished " .. mode)
