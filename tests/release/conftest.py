def pytest_addoption(parser):
    parser.addoption("--keep", action="store_true", help="keep the scratch folder")
