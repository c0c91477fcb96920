"""A headless Chromium driven over WebDriver (Debian: chromium, chromium-driver,
python3-selenium), for the checks of talmira's pages.

    with webdriver_session.open_session() as browser:
        browser.load("file:///.../page.html")
        browser.driver.find_element(...)

Every session has a fresh profile in a temporary folder, records every
request the page makes (the performance log), every script error and every
content-security violation, and always quits the browser and removes the
profile, whatever happens inside the `with`.
"""

import base64
import contextlib
import json
import os
import shutil
import tempfile

SKIP = 77
CHROMIUM_FLAGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--hide-scrollbars", "--mute-audio", "--no-default-browser-check",
]

# Set before the page's own code runs: errors thrown by its scripts and
# content-security violations, kept for the checks to read.
RECORD_ERRORS = """
window.__errors = [];
window.__violations = [];
window.addEventListener('error', function (e) {
  window.__errors.push(String(e.message || (e.target && e.target.outerHTML) || e));
}, true);
window.addEventListener('unhandledrejection', function (e) { window.__errors.push(String(e.reason)); });
document.addEventListener('securitypolicyviolation', function (e) {
  window.__violations.push(e.violatedDirective + ' ' + e.blockedURI);
});
"""


def find_browser(chromium=None):
    """(chromium, chromedriver) or, when something is missing, (None, why)."""
    try:
        import selenium  # noqa: F401  (only whether it is there)
    except ImportError:
        return None, "python3-selenium is not installed"
    if chromium is None:
        for candidate in ("/usr/bin/chromium", shutil.which("chromium"),
                          shutil.which("chromium-browser")):
            if candidate and os.access(candidate, os.X_OK):
                chromium = candidate
                break
    if chromium is None or not os.access(chromium, os.X_OK):
        return None, "chromium is not installed"
    driver = next((d for d in ("/usr/bin/chromedriver", shutil.which("chromedriver"))
                   if d and os.access(d, os.X_OK)), None)
    if driver is None:
        return None, "chromedriver (Debian: chromium-driver) is not installed"
    return (chromium, driver), None


class Session:
    def __init__(self, driver):
        self.driver = driver

    def load(self, url, scripts=True):
        """Loads `url` afresh (a page at another address first, so that a
        change of fragment alone still loads it), with or without scripts."""
        self.driver.get("about:blank")
        self.driver.execute_cdp_cmd("Emulation.setScriptExecutionDisabled", {"value": not scripts})
        self.requests()  # forget the requests so far
        self.driver.get(url)

    def run(self, script, *args):
        return self.driver.execute_script(script, *args)

    def errors(self):
        return self.run("return window.__errors || []") or []

    def violations(self):
        return self.run("return window.__violations || []") or []

    def requests(self):
        """The addresses requested since the last call."""
        urls = []
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message.get("method") == "Network.requestWillBeSent":
                urls.append(message["params"]["request"]["url"])
        return urls

    def outer_html(self):
        return self.run("return document.documentElement.outerHTML")

    def screenshot(self, path, width=1200, full_page=True):
        """A PNG of the page `width` pixels wide, its whole height when `full_page`."""
        height = 900
        if full_page:
            height = max(900, min(int(self.run(
                "return Math.ceil(document.documentElement.scrollHeight)")), 8000))
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1,
                                     "mobile": False})
        shot = self.driver.execute_cdp_cmd("Page.captureScreenshot", {"format": "png"})
        with open(path, "wb") as out:
            out.write(base64.b64decode(shot["data"]))


@contextlib.contextmanager
def open_session(width=1200, height=2000, chromium=None):
    """A Session on a new headless Chromium; raises RuntimeError when one
    cannot be had (find_browser() says why beforehand)."""
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    found, why = find_browser(chromium)
    if found is None:
        raise RuntimeError(why)
    chromium, chromedriver = found
    profile = tempfile.mkdtemp(prefix="talmira-chromium-")
    options = Options()
    options.binary_location = chromium
    for flag in CHROMIUM_FLAGS:
        options.add_argument(flag)
    options.add_argument(f"--user-data-dir={profile}")
    options.add_argument(f"--window-size={width},{height}")
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    driver = None
    try:
        driver = webdriver.Chrome(service=Service(chromedriver, log_output=os.devnull)
                                  if _service_takes_log_output() else Service(chromedriver),
                                  options=options)
        driver.set_page_load_timeout(60)
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": RECORD_ERRORS})
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": height, "deviceScaleFactor": 1,
                                "mobile": False})
        yield Session(driver)
    finally:
        if driver is not None:
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def _service_takes_log_output():
    import inspect
    from selenium.webdriver.chrome.service import Service
    return "log_output" in inspect.signature(Service.__init__).parameters


class Failures:
    """What a page check found wrong, gathered so that one run reports all."""

    def __init__(self):
        self.messages = []

    def check(self, condition, message):
        if not condition:
            self.messages.append(message)
        return condition
