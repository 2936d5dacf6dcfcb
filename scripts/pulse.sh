# A private sound server for the tests. Source this file, then:
#   pulse_start   starts the server with a virtual speaker and a virtual
#                 microphone, and exports PULSE_SERVER and XDG_RUNTIME_DIR;
#   pulse_stop    stops it and everything started with it (safe to call twice).
# No sound card, dbus or X11 is needed.
#
# Devices:
#   velmora_speaker       null sink, the default output; its monitor is the
#                         sound card's own mix
#   velmora_mic_feed      null sink: what is played here is what the
#                         microphone hears
#   velmora_mic           "Test Microphone", a source remapped from the feed's
#                         monitor, the default input

VELMORA_TEST_SPEAKER=velmora_speaker
VELMORA_TEST_FEED=velmora_mic_feed
VELMORA_TEST_MIC=velmora_mic

_pulse_log() { echo "pulse: $*" >&2; }

pulse_start() {
  if [ -n "${_PULSE_PID:-}" ]; then
    _pulse_log "already running (pid $_PULSE_PID)"
    return 0
  fi
  if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    _pulse_log "pulseaudio and pulseaudio-utils are needed"
    return 1
  fi
  _PULSE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/velmora-pulse.XXXXXX") || return 1
  mkdir -p "$_PULSE_DIR/runtime" "$_PULSE_DIR/home"
  chmod 0700 "$_PULSE_DIR" "$_PULSE_DIR/runtime" "$_PULSE_DIR/home"
  cat >"$_PULSE_DIR/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=$VELMORA_TEST_SPEAKER rate=44100 channels=2 format=s16le sink_properties=device.description=Speaker
load-module module-null-sink sink_name=$VELMORA_TEST_FEED rate=44100 channels=2 format=s16le sink_properties=device.description=Microphone_feed
set-default-sink $VELMORA_TEST_SPEAKER
PA
  export XDG_RUNTIME_DIR="$_PULSE_DIR/runtime"
  export PULSE_SERVER="unix:$_PULSE_DIR/runtime/pulse/native"
  HOME="$_PULSE_DIR/home" pulseaudio -n -F "$_PULSE_DIR/server.pa" --daemonize=no \
    --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
    --log-target="file:$_PULSE_DIR/pa.log" </dev/null >/dev/null 2>&1 &
  _PULSE_PID=$!
  _PULSE_KEEPALIVE_PIDS=""

  local i
  for i in $(seq 1 100); do
    if pactl info >/dev/null 2>&1; then break; fi
    if ! kill -0 "$_PULSE_PID" 2>/dev/null; then
      _pulse_log "the server exited at start; its log:"
      cat "$_PULSE_DIR/pa.log" >&2 2>/dev/null
      pulse_stop
      return 1
    fi
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then
    _pulse_log "the server does not answer"
    pulse_stop
    return 1
  fi

  # A failing load-module does not stop the server: check what exists.
  pactl load-module module-remap-source source_name=$VELMORA_TEST_MIC \
    master=$VELMORA_TEST_FEED.monitor \
    "source_properties=\"device.description='Test Microphone' device.form_factor=microphone\"" \
    >/dev/null || true
  pactl set-default-source $VELMORA_TEST_MIC || true
  local src
  for src in $VELMORA_TEST_SPEAKER.monitor $VELMORA_TEST_FEED.monitor $VELMORA_TEST_MIC; do
    if ! pactl list short sources | cut -f2 | grep -qx "$src"; then
      _pulse_log "source $src is missing"
      pulse_stop
      return 1
    fi
  done

  # An idle null sink wakes only every 2 s: keep a low-latency reader on each
  # monitor so that the devices run in real time from the first moment.
  for src in $VELMORA_TEST_SPEAKER.monitor $VELMORA_TEST_FEED.monitor; do
    pacat -r --latency-msec=10 -d "$src" >/dev/null 2>&1 </dev/null &
    _PULSE_KEEPALIVE_PIDS="$_PULSE_KEEPALIVE_PIDS $!"
  done

  # Ready once the microphone really delivers sound.
  local got=0
  for i in $(seq 1 20); do
    got=$( (timeout 2 parec --latency-msec=10 -d $VELMORA_TEST_MIC 2>/dev/null || true) |
      head -c 8820 | wc -c) || got=0
    if [ "$got" -ge 8820 ]; then break; fi
    sleep 0.2
  done
  if [ "$got" -lt 8820 ]; then
    _pulse_log "the microphone delivers no sound"
    pulse_stop
    return 1
  fi
  export VELMORA_TEST_SPEAKER VELMORA_TEST_FEED VELMORA_TEST_MIC
  _pulse_log "running (pid $_PULSE_PID, $PULSE_SERVER)"
  return 0
}

pulse_stop() {
  local pid
  for pid in ${_PULSE_KEEPALIVE_PIDS:-} ${_PULSE_PID:-}; do
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null || true
    fi
  done
  _PULSE_KEEPALIVE_PIDS=""
  _PULSE_PID=""
  if [ -n "${_PULSE_DIR:-}" ] && [ -d "$_PULSE_DIR" ]; then
    rm -rf "$_PULSE_DIR"
  fi
  _PULSE_DIR=""
  return 0
}
