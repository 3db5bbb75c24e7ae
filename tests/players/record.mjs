// Records a WebM the way a web page's upload form makes one: Chromium's
// MediaRecorder over a canvas and WebAudio, in Debian's Chromium through
// playwright-core. The canvas turns white and a 1 kHz beep sounds every 2 s,
// from 0.5 s on, both timed by the audio clock; beep k lasts 40 + 20 k ms, so
// that each can be told from the others wherever it lands.
//
//   node record.mjs OUT_FILE SECONDS PROFILE_DIR
import { writeFile } from "node:fs/promises";
import { chromium } from "playwright-core";

const [outFile, seconds, profileDir] = process.argv.slice(2);

const FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--autoplay-policy=no-user-gesture-required"];

async function record(seconds) {
  const canvas = document.createElement("canvas");
  canvas.width = 320;
  canvas.height = 180;
  document.body.append(canvas);
  const draw = canvas.getContext("2d");
  const audio = new AudioContext({ sampleRate: 48000 });
  await audio.resume();
  const sink = audio.createMediaStreamDestination();
  // Silence between the beeps: the track goes quiet, not still, once they end.
  const hush = audio.createConstantSource();
  hush.offset.value = 0;
  hush.connect(sink);
  hush.start();
  const stream = new MediaStream([...canvas.captureStream(30).getVideoTracks(),
                                  ...sink.stream.getAudioTracks()]);
  const recorder = new MediaRecorder(stream, { mimeType: "video/webm;codecs=vp8,opus" });
  const chunks = [];
  recorder.ondataavailable = (event) => chunks.push(event.data);
  const stopped = new Promise((resolve) => { recorder.onstop = resolve; });
  recorder.start();
  const start = audio.currentTime;
  for (let k = 0; 2 * k + 0.5 < seconds - 1; k++) {
    const beep = audio.createOscillator();
    const level = audio.createGain();
    beep.frequency.value = 1000;
    level.gain.value = 0.5;
    beep.connect(level).connect(sink);
    beep.start(start + 2 * k + 0.5);
    beep.stop(start + 2 * k + 0.54 + 0.02 * k);
  }
  // A moving picture, white for 100 ms at each beep.
  let frame = 0;
  const paint = () => {
    const t = audio.currentTime - start;
    const flash = t % 2 >= 0.5 && t % 2 < 0.6 && t < seconds - 1;
    draw.fillStyle = flash ? "#fff" : "#246";
    draw.fillRect(0, 0, canvas.width, canvas.height);
    if (!flash) {
      draw.fillStyle = "#c84";
      draw.fillRect((frame * 4) % canvas.width, 40, 40, 100);
    }
    frame += 1;
    if (t < seconds) requestAnimationFrame(paint);
  };
  requestAnimationFrame(paint);
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  recorder.stop();
  await stopped;
  const bytes = new Uint8Array(await new Blob(chunks).arrayBuffer());
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(text);
}

const context = await chromium.launchPersistentContext(profileDir, {
  executablePath: "/usr/bin/chromium", headless: true, args: FLAGS, timeout: 60000,
});
try {
  const page = context.pages()[0] ?? await context.newPage();
  const recording = await page.evaluate(record, Number(seconds));
  await writeFile(outFile, Buffer.from(recording, "base64"));
} finally {
  await context.close();
}
