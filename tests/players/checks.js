// Plays a ladder in this page and reports what the player saw, for the test
// suite to judge. Nothing here passes or fails: it only observes.
"use strict";

const RATE = 2;  // plays twice as fast as real time to keep the suite short

function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

// Mean and spread of the picture's brightness, read back from a canvas: a
// picture decoded from wrongly decrypted data, or none at all, is flat. And its
// saturation: the mean spread between the largest and smallest of R, G and B.
function pictureStats(video) {
  const canvas = document.createElement("canvas");
  canvas.width = video.videoWidth;
  canvas.height = video.videoHeight;
  const context = canvas.getContext("2d", { willReadFrequently: true });
  context.drawImage(video, 0, 0);
  const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
  let sum = 0, squares = 0, saturation = 0, count = 0;
  for (let i = 0; i < data.length; i += 4 * 7) {
    const [r, g, b] = [data[i], data[i + 1], data[i + 2]];
    const luma = 0.299 * r + 0.587 * g + 0.114 * b;
    sum += luma; squares += luma * luma; count += 1;
    saturation += Math.max(r, g, b) - Math.min(r, g, b);
  }
  const mean = sum / count;
  return { mean, spread: Math.sqrt(Math.max(0, squares / count - mean * mean)),
           saturation: saturation / count };
}

// Records every picture the video element presents: its media time and size.
function watchPictures(video, pictures) {
  const step = (now, meta) => {
    pictures.push({ time: meta.mediaTime, width: meta.width, height: meta.height });
    video.requestVideoFrameCallback(step);
  };
  video.requestVideoFrameCallback(step);
}

function ranges(timeRanges) {
  const list = [];
  for (let i = 0; i < timeRanges.length; i++) list.push([timeRanges.start(i), timeRanges.end(i)]);
  return list;
}

// Starts playing at RATE and waits for `ended`, a fatal error or the deadline,
// sampling the picture once for each new size shown on the way.
async function playToEnd(video, report, deadlineMs, isFailed) {
  video.playbackRate = RATE;
  try {
    await video.play();
  } catch (error) {
    report.playError = String(error);
  }
  const seen = new Set();
  const start = performance.now();
  while (!video.ended && !isFailed() && performance.now() - start < deadlineMs) {
    const size = `${video.videoWidth}x${video.videoHeight}`;
    // Past the start (a short clip's first quarter), where a picture is sure to be up.
    const settled = Math.min(0.5, (video.duration || 0) / 4);
    if (video.videoWidth > 0 && !seen.has(size) && video.currentTime > settled) {
      seen.add(size);
      report.samples.push({ time: video.currentTime, width: video.videoWidth,
                            height: video.videoHeight, ...pictureStats(video) });
    }
    await sleep(100);
  }
  report.ended = video.ended;
  report.currentTime = video.currentTime;
  report.duration = video.duration;
  report.buffered = ranges(video.buffered);
  const quality = video.getVideoPlaybackQuality();
  report.framesDecoded = quality.totalVideoFrames;
  report.framesDropped = quality.droppedVideoFrames;
  report.mediaError = video.error ? { code: video.error.code, message: video.error.message } : null;
}

function watchElement(video, report) {
  for (const name of ["waiting", "stalled", "error"])
    video.addEventListener(name, () => report.events.push({ name, time: video.currentTime }));
}

// hls.js plays the master playlist. It starts on level 0 and loads each next
// segment from the level above, until the top one: playback then crosses
// segment boundaries on a level switch, as adaptive playback does, and shows
// every level in turn.
async function playWithHlsJs(masterUrl, deadlineMs) {
  const video = document.getElementById("video");
  const report = { supported: Hls.isSupported(), version: Hls.version, levels: [],
                   errors: [], events: [], switches: [], fragments: [], keys: [],
                   pictures: [], samples: [] };
  if (!report.supported) return report;
  const hls = new Hls({ startLevel: 0, maxBufferLength: 2, maxMaxBufferLength: 4,
                        capLevelToPlayerSize: false, enableWorker: true });
  let fatal = false;
  hls.on(Hls.Events.ERROR, (event, data) => {
    report.errors.push({ type: data.type, details: data.details, fatal: data.fatal,
                         time: video.currentTime,
                         reason: data.reason || (data.error && data.error.message) || null });
    if (data.fatal) fatal = true;
  });
  hls.on(Hls.Events.KEY_LOADED, (event, data) => {
    report.keys.push(data.keyInfo.decryptdata.uri);
  });
  hls.on(Hls.Events.LEVEL_SWITCHED, (event, data) => report.switches.push(data.level));
  hls.on(Hls.Events.FRAG_BUFFERED, (event, data) => {
    const frag = data.frag;
    if (frag.type !== "main") return;
    const streams = {};
    for (const [type, info] of Object.entries(frag.elementaryStreams || {}))
      if (info) streams[type] = { startPTS: info.startPTS, endPTS: info.endPTS,
                                  startDTS: info.startDTS, endDTS: info.endDTS };
    report.fragments.push({ level: frag.level, sn: frag.sn, start: frag.start,
                            duration: frag.duration, streams });
    if (frag.level + 1 < hls.levels.length) hls.loadLevel = frag.level + 1;
  });
  const parsed = new Promise((resolve) => hls.once(Hls.Events.MANIFEST_PARSED, resolve));
  watchElement(video, report);
  watchPictures(video, report.pictures);
  hls.loadSource(masterUrl);
  hls.attachMedia(video);
  await Promise.race([parsed, sleep(deadlineMs)]);
  report.levels = hls.levels.map((level) => ({ width: level.width, height: level.height,
                                               bitrate: level.bitrate,
                                               averageBitrate: level.averageBitrate,
                                               videoCodec: level.videoCodec,
                                               audioCodec: level.audioCodec,
                                               frameRate: level.frameRate, url: level.url[0] }));
  await playToEnd(video, report, deadlineMs, () => fatal);
  hls.destroy();
  return report;
}

// The browser's own HLS playback, where it has one: a plain <video src>.
async function playNatively(masterUrl, deadlineMs) {
  const report = { canPlayType: document.createElement("video")
                     .canPlayType("application/vnd.apple.mpegurl"),
                   events: [], pictures: [], samples: [] };
  if (report.canPlayType === "") return report;
  const video = document.createElement("video");
  document.body.appendChild(video);
  watchElement(video, report);
  watchPictures(video, report.pictures);
  video.src = masterUrl;
  video.addEventListener("loadedmetadata", () => { video.playbackRate = RATE; });
  await playToEnd(video, report, deadlineMs, () => video.error !== null);
  return report;
}

// Shaka Player plays the master playlist, with its own HLS parser, AES-128
// decryption and MPEG-TS transmuxer, picking its levels as it likes.
async function playWithShaka(masterUrl, deadlineMs) {
  const video = document.getElementById("video");
  shaka.polyfill.installAll();
  const report = { supported: shaka.Player.isBrowserSupported(), version: shaka.Player.version,
                   variants: [], errors: [], events: [], keys: [], pictures: [], samples: [] };
  if (!report.supported) return report;
  const player = new shaka.Player();
  player.getNetworkingEngine().registerRequestFilter((type, request) => {
    if (type === shaka.net.NetworkingEngine.RequestType.KEY) report.keys.push(request.uris[0]);
  });
  let fatal = false;
  player.addEventListener("error", (event) => {
    const error = event.detail;
    report.errors.push({ severity: error.severity, category: error.category, code: error.code,
                         time: video.currentTime });
    if (error.severity === shaka.util.Error.Severity.CRITICAL) fatal = true;
  });
  watchElement(video, report);
  watchPictures(video, report.pictures);
  try {
    await player.attach(video);
    await player.load(masterUrl);
  } catch (error) {
    report.loadError = { code: error.code, category: error.category, message: String(error) };
    await player.destroy();
    return report;
  }
  report.variants = player.getVariantTracks().map((track) => ({
    width: track.width, height: track.height, bandwidth: track.bandwidth }));
  await playToEnd(video, report, deadlineMs, () => fatal);
  await player.destroy();
  return report;
}
