#include "media/h264_encoder.h"

#include <wels/codec_api.h>

#include <algorithm>

namespace velmora {
namespace loopback {

namespace {

int Clamp(int value, int low, int high) { return std::min(std::max(value, low), high); }

}  // namespace

int DefaultVideoBitrate(int width, int height, int frame_rate) {
    const double bps = kDefaultBitsPerPixel * width * height * frame_rate;
    return static_cast<int>(std::min<double>(std::max<double>(bps, kMinDefaultBitrateBps), kMaxDefaultBitrateBps));
}

H264Encoder::~H264Encoder() { Stop(); }

void H264Encoder::Stop() {
    if (encoder_ == nullptr) return;
    encoder_->Uninitialize();
    WelsDestroySVCEncoder(encoder_);
    encoder_ = nullptr;
}

bool H264Encoder::Start(int width, int height, int bitrate_bps, int frame_rate, std::string* error) {
    Stop();
    if (WelsCreateSVCEncoder(&encoder_) != 0 || encoder_ == nullptr) {
        encoder_ = nullptr;
        *error = "OpenH264 could not make an encoder";
        return false;
    }
    // Quiet: failures come back as results, and the engine logs them itself.
    int quiet = WELS_LOG_QUIET;
    encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &quiet);
    SEncParamExt p;
    encoder_->GetDefaultParams(&p);
    p.iUsageType = CAMERA_VIDEO_REAL_TIME;
    p.iPicWidth = width;
    p.iPicHeight = height;
    p.iTargetBitrate = bitrate_bps;
    p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
    p.iRCMode = RC_BITRATE_MODE;
    p.fMaxFrameRate = static_cast<float>(frame_rate);
    p.iTemporalLayerNum = 1;
    p.iSpatialLayerNum = 1;
    p.iComplexityMode = LOW_COMPLEXITY;
    p.uiIntraPeriod = 0;  // key frames only when the stream asks
    p.iNumRefFrame = 1;
    p.eSpsPpsIdStrategy = CONSTANT_ID;
    p.bPrefixNalAddingCtrl = false;
    p.iEntropyCodingModeFlag = 0;
    // Every sent picture gives a frame: the network, not the encoder, drops what does not fit.
    p.bEnableFrameSkip = false;
    p.iMultipleThreadIdc = 1;
    p.bEnableDenoise = false;
    p.bEnableBackgroundDetection = false;
    // Off, so that key frames come exactly when the stream asks for them.
    p.bEnableSceneChangeDetect = false;
    p.bEnableFrameCroppingFlag = true;
    SSpatialLayerConfig& layer = p.sSpatialLayers[0];
    layer.iVideoWidth = width;
    layer.iVideoHeight = height;
    layer.fFrameRate = static_cast<float>(frame_rate);
    layer.iSpatialBitrate = bitrate_bps;
    layer.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
    layer.uiProfileIdc = PRO_BASELINE;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    const int status = encoder_->InitializeExt(&p);
    if (status != 0) {
        Stop();
        *error = "OpenH264 refused to encode " + std::to_string(width) + "x" + std::to_string(height) + " at " +
                 std::to_string(bitrate_bps) + " b/s, " + std::to_string(frame_rate) + " frames/s (status " +
                 std::to_string(status) + ")";
        return false;
    }
    int format = videoFormatI420;
    encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
    width_ = width;
    height_ = height;
    bitrate_bps_ = bitrate_bps;
    frame_rate_ = frame_rate;
    return true;
}

bool H264Encoder::Encode(const I420Picture& picture, int64_t timestamp_ms, bool key, int bitrate_bps, int frame_rate,
                         EncodedPicture* out, std::string* error) {
    bitrate_bps = Clamp(bitrate_bps, kMinEncodeBitrateBps, kMaxEncodeBitrateBps);
    frame_rate = Clamp(frame_rate, kMinEncodeFrameRate, kMaxEncodeFrameRate);
    if (encoder_ == nullptr || picture.width != width_ || picture.height != height_) {
        if (!Start(picture.width, picture.height, bitrate_bps, frame_rate, error)) return false;
        key = true;
    }
    if (frame_rate != frame_rate_) {
        float rate = static_cast<float>(frame_rate);
        encoder_->SetOption(ENCODER_OPTION_FRAME_RATE, &rate);
        frame_rate_ = frame_rate;
    }
    if (bitrate_bps != bitrate_bps_) {
        SBitrateInfo info;
        info.iLayer = SPATIAL_LAYER_ALL;
        info.iBitrate = bitrate_bps;
        encoder_->SetOption(ENCODER_OPTION_BITRATE, &info);
        bitrate_bps_ = bitrate_bps;
    }
    if (key) encoder_->ForceIntraFrame(true);
    SSourcePicture source = {};
    source.iColorFormat = videoFormatI420;
    source.iPicWidth = picture.width;
    source.iPicHeight = picture.height;
    source.iStride[0] = picture.width;
    source.iStride[1] = source.iStride[2] = picture.width / 2;
    // OpenH264 only reads the source.
    source.pData[0] = const_cast<uint8_t*>(picture.y());
    source.pData[1] = const_cast<uint8_t*>(picture.u());
    source.pData[2] = const_cast<uint8_t*>(picture.v());
    source.uiTimeStamp = timestamp_ms;
    SFrameBSInfo info = {};
    const int status = encoder_->EncodeFrame(&source, &info);
    if (status != cmResultSuccess) {
        Stop();
        *error = "OpenH264 failed to encode a frame (status " + std::to_string(status) + ")";
        return false;
    }
    out->bytes.clear();
    out->key = info.eFrameType == videoFrameTypeIDR;
    for (int l = 0; l < info.iLayerNum; ++l) {
        const SLayerBSInfo& layer = info.sLayerInfo[l];
        size_t size = 0;
        for (int n = 0; n < layer.iNalCount; ++n) size += static_cast<size_t>(layer.pNalLengthInByte[n]);
        out->bytes.append(reinterpret_cast<const char*>(layer.pBsBuf), size);
    }
    if (out->bytes.empty()) {
        *error = "OpenH264 gave no frame (frame type " + std::to_string(static_cast<int>(info.eFrameType)) + ")";
        return false;
    }
    return true;
}

}  // namespace loopback
}  // namespace velmora
