// Plays the trusted extension for the real-browser test: says hello to the
// host and answers every request the host sends with what it received, so the
// test can check that params survive the whole path through the browser.
// Everything else goes to the console, which the test prints on failure.

const hostName = "com.kelvarin.browser.ilimhgenbmakmldnokbdfbjkgakahhll";
const port = chrome.runtime.connectNative(hostName);

port.onMessage.addListener((message) => {
  if (typeof message.id !== "string" || typeof message.method !== "string") {
    console.log("kelvarin-test: from host:", JSON.stringify(message));
    return;
  }
  port.postMessage({version: 1, id: message.id, result: {ok: true, method: message.method, params: message.params}});
  if (message.method === "browser.disconnect") {
    // Closing the port closes the host's input; give the answer time to get
    // there first.
    setTimeout(() => port.disconnect(), 200);
  }
});

port.onDisconnect.addListener(() => {
  const error = chrome.runtime.lastError;
  console.log("kelvarin-test: native port closed by the browser:", error ? error.message : "no error");
});

port.postMessage({
  version: 1,
  id: "hello-1",
  method: "bridge.hello",
  params: {profileId: "browser-test", browserName: "Chromium", extensionVersion: chrome.runtime.getManifest().version},
});
console.log("kelvarin-test: hello sent to", hostName);
