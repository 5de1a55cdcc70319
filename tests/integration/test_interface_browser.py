"""The web interface in a real browser: headless chromium through the proxy
logs in with the form, walks the menu and keeps its login across pages,
with the proxy in a time zone far west of UTC.  Each page is saved as a PNG
under the build directory for a person to look at."""
import os
import shutil
from pathlib import Path

import pytest

from conftest import BINARY, set_fields, write_config

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service as ChromeService  # noqa: E402
from selenium.common.exceptions import StaleElementReferenceException, WebDriverException  # noqa: E402,E501
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

MENU = ["Active connections", "Statistics", "DNS cache", "Show headers", "View cache entries",
        "Connection pool", "Prefetch queue", "URL blacklist", "Config", "View log entries",
        "Save settings", "Load settings", "Show LDAP Groups", "Encrypt Password",
        "Test Sortmarks"]


def with_login(root):
    set_fields(root.find("access").find("allow"), interface_user="admin",
               interface_password="br0wser")


@pytest.fixture
def browser(request):
    if not shutil.which("chromedriver") or not shutil.which("chromium"):
        pytest.skip("chromium and its driver are not installed")
    holder = {}

    def start(proxy):
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium")
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--proxy-server=http://{proxy.host}:{proxy.port}",
                     "--proxy-bypass-list=<-loopback>", "--window-size=1280,1600",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--no-first-run"):
            options.add_argument(flag)
        service = ChromeService(executable_path=shutil.which("chromedriver"))
        holder["driver"] = webdriver.Chrome(options=options, service=service)
        holder["driver"].set_page_load_timeout(30)
        # A click returns before the next page may have arrived: looking up
        # its elements waits for them instead of failing at once.
        holder["driver"].implicitly_wait(10)
        return holder["driver"]

    yield start
    if "driver" in holder:
        holder["driver"].quit()


def shots_dir():
    path = Path(BINARY).resolve().parent / "screenshots"
    path.mkdir(exist_ok=True)
    return path


def shot(driver, name):
    driver.save_screenshot(str(shots_dir() / f"{name}.png"))


def replaced(old):
    """True once the element belongs to a page that is gone.  Chromium names
    a node detached in the middle of a navigation "does not belong to the
    document" rather than stale; both mean the next page has come."""
    def check(_driver):
        try:
            old.is_enabled()
        except StaleElementReferenceException:
            return True
        except WebDriverException as error:
            if "does not belong to the document" in (error.msg or ""):
                return True
            raise
        return False
    return check


def loaded(driver):
    return driver.execute_script("return document.readyState") == "complete"


def next_page(driver, action):
    """Runs action() (a click, a submit, a key) and returns once the page it
    leads to has replaced this one and finished loading: a click returns
    before the next page may have arrived."""
    old = driver.find_element(By.TAG_NAME, "html")
    action()
    WebDriverWait(driver, 15).until(replaced(old))
    WebDriverWait(driver, 15).until(loaded)


def page_with(driver, text):
    """The page source once it holds `text`, or the failure after 15 s."""
    WebDriverWait(driver, 15).until(lambda d: text in d.page_source,
                                    f"{text!r} never appeared")
    return driver.page_source


def enter(driver, element, keys=""):
    """Types into a form field and sends the form with Enter; returns once
    the next page has replaced this one."""
    next_page(driver, lambda: element.send_keys(keys + "\n"))


def follow(driver, link_text):
    """Clicks the link and returns once its page is there."""
    link = driver.find_element(By.LINK_TEXT, link_text)
    next_page(driver, link.click)


def login(driver, password):
    driver.find_element(By.NAME, "username").send_keys("admin")
    driver.find_element(By.NAME, "password").send_keys(password)
    submit = driver.find_element(By.CSS_SELECTOR, "input[type=submit]")
    next_page(driver, submit.click)


def test_login_and_every_menu_page(tmp_path, proxy_factory, browser, monkeypatch):
    monkeypatch.setenv("TZ", "Etc/GMT+11")
    proxy = proxy_factory(config=write_config(tmp_path / "kelvarine.xml", with_login))
    driver = browser(proxy)
    driver.get("http://kelvarine.cfg/")
    assert "Web interface login" in driver.page_source
    shot(driver, "login")

    login(driver, "wrong")
    assert "Web interface login" in driver.page_source
    assert "Top Menu" not in driver.page_source

    login(driver, "br0wser")
    assert "Top Menu" in page_with(driver, "Top Menu")
    assert driver.get_cookie("login") is not None
    shot(driver, "start")

    for text in MENU:
        follow(driver, text)
        source = driver.page_source
        assert "Top Menu" in source, text
        assert "Web interface login" not in source, text
        shot(driver, text.lower().replace(" ", "-"))

    # The log page's form changes state: the browser's Referer is accepted.
    follow(driver, "View log entries")
    size = driver.find_element(By.NAME, "size")
    size.clear()
    enter(driver, size, "33")
    WebDriverWait(driver, 15).until(
        lambda d: d.find_element(By.NAME, "size").get_attribute("value") == "33")


def test_a_rule_added_in_the_browser_applies_and_is_saved(tmp_path, origin, proxy_factory, browser):
    (origin.root / "index.html").write_text("<p>the origin page</p>\n")
    proxy = proxy_factory(config=write_config(tmp_path / "kelvarine.xml", with_login),
                          hosts={"blocked.test": "127.0.0.1"})
    driver = browser(proxy)
    site = f"http://blocked.test:{origin.port}/index.html"
    driver.get(site)
    assert "the origin page" in driver.page_source

    driver.get("http://kelvarine.cfg/")
    login(driver, "br0wser")
    follow(driver, "Config")
    driver.find_element(By.CSS_SELECTOR, "select[name=section] option[value=url-filtering]").click()
    next_page(driver, driver.find_element(By.CSS_SELECTOR, "select[name=section]").submit)
    assert "Deny rules" in page_with(driver, "Deny rules")
    shot(driver, "config-url-filtering")

    # The section is switched on through its global form.
    driver.find_element(By.CSS_SELECTOR, "input[name=F0][value=true]").click()
    enter(driver, driver.find_element(By.NAME, "F1"))
    assert driver.find_element(By.CSS_SELECTOR, "input[name=F0][value=true]").is_selected()

    # A deny rule for the host, through the Add dialog of the deny rules.
    adds = driver.find_elements(By.LINK_TEXT, "Add")
    [deny] = [a for a in adds if "subsection=deny" in a.get_attribute("href")]
    next_page(driver, deny.click)
    driver.find_element(By.NAME, "F1").send_keys("added in the browser")
    enter(driver, driver.find_element(By.NAME, "F4"), "blocked\\.test")
    assert "added in the browser" in page_with(driver, "added in the browser")
    shot(driver, "config-rule-added")

    follow(driver, "Save settings")
    enter(driver, driver.find_element(By.NAME, "filename"))
    assert "File saved" in page_with(driver, "File saved")

    driver.get(site)
    assert "the origin page" not in driver.page_source
    shot(driver, "blocked-by-the-new-rule")
    saved = proxy.config.read_text()
    assert "added in the browser" in saved and "blocked\\.test" in saved


@pytest.fixture
def direct_browser():
    """Headless chromium without a proxy: it opens the interface directly at
    a listener's address, as the README tells an administrator to."""
    if not shutil.which("chromedriver") or not shutil.which("chromium"):
        pytest.skip("chromium and its driver are not installed")
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--no-proxy-server", "--window-size=1280,1600",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run"):
        options.add_argument(flag)
    driver = webdriver.Chrome(options=options,
                              service=ChromeService(executable_path=shutil.which("chromedriver")))
    driver.set_page_load_timeout(30)
    driver.implicitly_wait(10)
    yield driver
    driver.quit()


def test_the_direct_address_with_the_shipped_configuration(proxy_factory, direct_browser):
    proxy = proxy_factory()
    driver = direct_browser
    driver.get(f"{proxy.url}/kelvarine.cfg/")
    assert "Top Menu" in page_with(driver, "Top Menu")
    follow(driver, "Config")
    assert driver.current_url == f"{proxy.url}/kelvarine.cfg/config"

    # Choosing a section takes the form's arguments: the browser's Referer
    # names the listener it opened the page at.
    driver.find_element(By.CSS_SELECTOR, "select[name=section] option[value=url-filtering]").click()
    next_page(driver, driver.find_element(By.CSS_SELECTOR, "select[name=section]").submit)
    assert "Deny rules" in page_with(driver, "Deny rules")
    shot(driver, "direct-config-url-filtering")

    # A value of the section's global form is edited and kept.
    template = driver.find_element(By.NAME, "F2")
    template.clear()
    enter(driver, template, "edited-directly")
    assert driver.find_element(By.NAME, "F2").get_attribute("value") == "edited-directly"

    follow(driver, "Save settings")
    enter(driver, driver.find_element(By.NAME, "filename"))
    assert "File saved" in page_with(driver, "File saved")
    assert "<template>edited-directly</template>" in proxy.config.read_text()
    assert "invalid referer" not in proxy.native_log.read_text()
