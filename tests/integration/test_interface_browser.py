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
from selenium.webdriver.common.by import By  # noqa: E402

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


def login(driver, password):
    driver.find_element(By.NAME, "username").send_keys("admin")
    driver.find_element(By.NAME, "password").send_keys(password)
    driver.find_element(By.CSS_SELECTOR, "input[type=submit]").click()


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
    assert "Top Menu" in driver.page_source
    assert driver.get_cookie("login") is not None
    shot(driver, "start")

    for text in MENU:
        driver.find_element(By.LINK_TEXT, text).click()
        source = driver.page_source
        assert "Top Menu" in source, text
        assert "Web interface login" not in source, text
        shot(driver, text.lower().replace(" ", "-"))

    # The log page's form changes state: the browser's Referer is accepted.
    driver.find_element(By.LINK_TEXT, "View log entries").click()
    size = driver.find_element(By.NAME, "size")
    size.clear()
    size.send_keys("33\n")
    assert driver.find_element(By.NAME, "size").get_attribute("value") == "33"
