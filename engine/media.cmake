# The engine's audio path: Opus (libopus), resampling (speexdsp) and voice detection
# (WebRTC audio processing), all found with pkg-config. Debian packages: pkg-config
# libopus-dev libspeexdsp-dev libwebrtc-audio-processing-dev.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VELMORA_MEDIA REQUIRED IMPORTED_TARGET opus speexdsp webrtc-audio-processing)

target_sources(velmora PRIVATE
  src/media/clock.cpp
  src/media/pcm_converter.cpp
  src/media/opus_codec.cpp
  src/media/voice_detector.cpp
  src/media/room_audio.cpp
  src/media/audio_cost.cpp
)
target_link_libraries(velmora PRIVATE PkgConfig::VELMORA_MEDIA)
